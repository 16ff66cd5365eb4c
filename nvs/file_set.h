#pragma once
// Sets of opened databases, and the databases of a directory filed by category.
// Sets are ordered by path, so that the databases of a category are tried in
// the same order on every run and every machine: the verdict and the matched
// record never depend on where objects happen to lie in memory.

#include "nvs/index/category.h"

#include <map>
#include <memory>
#include <set>
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
class walk_plan_t {
public:
    struct category_t {
        category_set_t bit = 0;
        // Into files(): [first, whitelists_end) are the whitelists,
        // [whitelists_end, end) the category databases.
        std::uint32_t first = 0;
        std::uint32_t whitelists_end = 0;
        std::uint32_t end = 0;
    };

    walk_plan_t() = default;
    explicit walk_plan_t(const category_map_t& map);

    // Ascending bit order.
    const std::vector<category_t>& categories() const noexcept { return categories_; }
    const std::vector<std::shared_ptr<const file_t>>& files() const noexcept { return files_; }
    // Every bit with at least one database: a mask outside it has nothing to walk.
    category_set_t bits() const noexcept { return bits_; }

private:
    std::vector<category_t> categories_;
    std::vector<std::shared_ptr<const file_t>> files_;
    category_set_t bits_ = 0;
};

} // namespace nv::nvs
