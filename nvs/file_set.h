#pragma once
// Sets of opened databases, and the databases of a directory filed by category.
// Sets are ordered by path, so that the databases of a category are tried in
// the same order on every run and every machine: the verdict and the matched
// record never depend on where objects happen to lie in memory.

#include "nvs/index/category.h"
#include "nvs/index/context.h"

#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace nv::nvs {

class file_t;

// Path first; the address only tells apart two objects opened from one path.
struct file_order_t {
    bool operator()(const std::shared_ptr<const file_t>& a, const std::shared_ptr<const file_t>& b) const noexcept;
};

using file_set_t = std::set<std::shared_ptr<const file_t>, file_order_t>;

// The loaded databases of one category bit, whitelists apart.
struct category_files_t {
    file_set_t databases;
    file_set_t whitelists;
};

// Category bit (ascending) -> its databases. An entry stays, possibly with both
// sets empty, once a database of its bit has been filed.
using category_map_t = std::map<category_set_t, category_files_t>;

// Files the database under its category bit, as a whitelist or a category database.
void file_into(category_map_t& map, const std::shared_ptr<const file_t>& file);

// Takes the database out of its category's set; the entry itself stays.
void remove_from(category_map_t& map, const std::shared_ptr<const file_t>& file);

// A category map laid out flat for the checks, which walk it once per URL:
// contiguous arrays instead of tree nodes, categories without any database
// left out. Same categories, same order, same databases in the same order as
// the map it was made from, so a walk over either gives the same result. It
// holds its databases, but does not follow later changes of the map.
//
// It also numbers the distinct (level, depth) pairs of host/path runs that its
// databases hold, so that a check can hash the host keys of a URL once, ask
// the key filter about each, and pass over every database none of whose keys
// the filter lets through and which has nothing else to search for the URL.
class walk_plan_t {
public:
    // Searches of a database that host keys alone do not decide.
    enum other_search_t : std::uint32_t {
        always = 1,   // patterns, or runs of pairs beyond the context's slots
        with_ipv4 = 2, // something to search for a URL with an IPv4 address
        with_ipv6 = 4, // the same for IPv6
    };

    // What a check needs to know of one database to pass over it.
    struct file_keys_t {
        // Bit i: a run of the database has pair i (i < context_t::slot_count).
        std::uint64_t pairs = 0;
        std::uint32_t other = 0; // other_search_t bits
        // Into run_pairs(): the pair of each run of type 4, then of type 5.
        std::uint32_t run_pairs = 0;
    };

    struct category_t {
        category_set_t bit = 0;
        // Into files(): [first, whitelists_end) are the whitelists,
        // [whitelists_end, end) the category databases.
        std::uint32_t first = 0;
        std::uint32_t whitelists_end = 0;
        std::uint32_t end = 0;
        // The union of those of its databases.
        std::uint64_t pairs = 0;
        std::uint32_t other = 0;
    };

    walk_plan_t() = default;
    explicit walk_plan_t(const category_map_t& map);

    // Ascending bit order.
    const std::vector<category_t>& categories() const noexcept { return categories_; }
    const std::vector<std::shared_ptr<const file_t>>& files() const noexcept { return files_; }
    // Every bit with at least one database: a mask outside it has nothing to walk.
    category_set_t bits() const noexcept { return bits_; }

    // The distinct pairs, those held by more databases first.
    const std::vector<index::host_pair_t>& pairs() const noexcept { return pairs_; }
    // One entry per database of files(), at the same position.
    const std::vector<file_keys_t>& file_keys() const noexcept { return file_keys_; }
    const std::vector<std::uint32_t>& run_pairs() const noexcept { return run_pairs_; }

    // Bit i: numbered pair i applies to a URL with this many host labels and
    // path bytes (level and depth within them); no other pair is ever searched.
    std::uint64_t applicable_pairs(unsigned labels, std::size_t path_length) const noexcept;

    // The other_search_t bits that apply to a URL with these addresses.
    static std::uint32_t other_searches_of(const address_set_t& addresses) noexcept;

private:
    void number_pairs();

    std::vector<category_t> categories_;
    std::vector<std::shared_ptr<const file_t>> files_;
    category_set_t bits_ = 0;
    std::vector<index::host_pair_t> pairs_;
    std::vector<file_keys_t> file_keys_;
    std::vector<std::uint32_t> run_pairs_;
    // Numbered pairs of a level up to the index (the last entry serves every
    // higher label count).
    std::vector<std::uint64_t> up_to_level_;
    // (depth, numbered pairs of a depth up to it), depths ascending.
    std::vector<std::pair<std::uint32_t, std::uint64_t>> up_to_depth_;
};

} // namespace nv::nvs
