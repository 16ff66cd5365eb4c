#pragma once
// Section types 4 and 5: host/path keys, with parameter conditions for type 5.
// Records are cut into runs of equal (level, depth); each run is searched by
// binary search over its MD5 keys.

#include "nvs/index/content.h"
#include "nvs/index/match.h"

#include <map>
#include <memory>
#include <vector>

namespace nv::nvs::index {

// Levels with a special meaning in the level byte of a record.
inline constexpr unsigned level_ipv4_address = 255;
inline constexpr unsigned level_ipv6_address = 254;

class url_t {
public:
    struct run_t {
        const std::uint8_t* first; // first record of the run in the mapping
        std::uint32_t count;
    };
    // level -> depth -> the first run with that pair (later runs are unreachable).
    using group_map_t = std::map<unsigned, std::map<unsigned, run_t>>;
    // The same runs in one flat array, by level then depth ascending: the
    // order of the walk, without a node to chase per step.
    struct keyed_run_t {
        unsigned level;
        unsigned depth;
        run_t run;
    };
    using run_list_t = std::vector<keyed_run_t>;

    class impl_t {
    public:
        virtual ~impl_t() = default;
        // The address phase, then the host phase; the first record test that succeeds.
        virtual match_t find(context_t& context) const = 0;
        // Records of the section, unreachable runs included.
        virtual std::uint32_t size() const = 0;
        // Made from runs() on each call (for inspection; lookups use runs()).
        virtual group_map_t groups() const = 0;
        virtual const run_list_t& runs() const = 0;
        virtual std::uint32_t record_size() const = 0;
    };

    // Builds the reader of type 4 or type 5 (the only types accepted); raises
    // bad_file_format for a bad section size or, for type 5, a parameter list
    // reference outside the type 0 section.
    url_t(const content_t& content, content_t::type_t type);

    // The first record matching the URL of the context: by its addresses
    // (levels 255 and 254), then by host suffix and path prefix, shorter first.
    match_t find(context_t& context) const { return impl_->find(context); }
    std::uint32_t size() const { return impl_->size(); }
    group_map_t groups() const { return impl_->groups(); }
    const run_list_t& runs() const { return impl_->runs(); }
    std::uint32_t record_size() const { return impl_->record_size(); }
    const impl_t& impl() const noexcept { return *impl_; }

private:
    std::unique_ptr<impl_t> impl_;
};

// Field access of a record of type 4 or 5 (at least 19 bytes at p).
inline unsigned record_level(const std::uint8_t* p) noexcept { return p[0]; }
inline unsigned record_depth(const std::uint8_t* p) noexcept { return unsigned(p[1]) << 8 | p[2]; }
inline const std::uint8_t* record_key(const std::uint8_t* p) noexcept { return p + 3; }

} // namespace nv::nvs::index
