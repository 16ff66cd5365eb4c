#include "nvs/index/url_find.h"

#include "nvs/index/cursor.h"
#include "nvs/index/sorted_records.h"

namespace nv::nvs::index {

namespace {

constexpr std::size_t key_field = 3;

// Whether every key of one parameter-set list is among the URL's parameter
// keys. A key listed twice counts twice, so such a list needs its key only once
// in the URL but still n keys in all.
bool list_holds(const std::uint8_t* keys, unsigned n, context_t& context)
{
    const auto& present = context.parameter_keys();
    if (n > present.size())
        return false;
    unsigned count = 0;
    for (unsigned i = 0; i < n; ++i) {
        md5_key_t key;
        std::copy_n(keys + std::size_t(i) * 16, 16, key.begin());
        count += present.count(key) != 0;
    }
    return count == n;
}

// The parameter condition of a type 5 record: no lists, or one list whose keys
// are all present. List bounds were checked when the database was opened.
bool parameters_hold(const content_t& content, const std::uint8_t* record, context_t& context)
{
    const std::uint32_t offset = load32(record + 19), lists = load32(record + 23);
    if (lists == 0)
        return true;
    const auto params = content.section(content_t::type_t::params);
    if (!params || params->size == 0)
        return false;
    const std::uint8_t* p = params->data + offset;
    for (std::uint32_t i = 0; i < lists; ++i) {
        const unsigned n = *p++;
        if (list_holds(p, n, context))
            return true;
        p += std::size_t(n) * 16;
    }
    return false;
}

template <int Type>
struct record_test_t {
    static constexpr std::size_t stride = Type == 4 ? 19 : 27;

    const content_t& content;
    context_t& context;

    // The first record of the run with the key; for type 5 only that record's
    // parameter condition decides (later records with the same key are not read).
    match_t operator()(const url_t::run_t& run, const md5_key_t& key) const
    {
        const std::uint32_t i = lower_bound_key(run.first, run.count, stride, key_field, key.data());
        if (i == run.count || !field_equals(run.first, i, stride, key_field, key.data(), key.size()))
            return {};
        const std::uint8_t* record = run.first + std::size_t(i) * stride;
        if constexpr (Type == 5)
            if (!parameters_hold(content, record, context))
                return {};
        return {true, content.offset_of(record)};
    }
};

} // namespace

template <int Type>
match_t find_url_records(const content_t& content, const url_t::group_map_t& groups, context_t& context)
{
    if (groups.empty())
        return {};
    const record_test_t<Type> test{content, context};
    const nvs::url_t& url = context.url();
    const std::size_t path_length = url.path().size();

    // Address phase: keys of the URL's addresses, shorter path prefixes first.
    const auto v4 = groups.find(level_ipv4_address), v6 = groups.find(level_ipv6_address);
    if (v4 != groups.end() || v6 != groups.end()) {
        for (const auto& address : url.addresses()) {
            const auto entry = address.is_v4() ? v4 : v6;
            if (entry == groups.end())
                continue;
            for (const auto& [depth, run] : entry->second) {
                if (depth > path_length)
                    break;
                if (const match_t match = test(run, context.address_key(address, depth)); match.found)
                    return match;
            }
        }
    }

    // Host phase: shorter host suffixes first, and within one shorter path prefixes.
    const unsigned labels = context.label_count();
    for (const auto& [level, depths] : groups) {
        if (level > labels)
            break;
        for (const auto& [depth, run] : depths) {
            if (depth > path_length)
                break;
            if (const match_t match = test(run, context.host_key(level, depth)); match.found)
                return match;
        }
    }
    return {};
}

template match_t find_url_records<4>(const content_t&, const url_t::group_map_t&, context_t&);
template match_t find_url_records<5>(const content_t&, const url_t::group_map_t&, context_t&);

} // namespace nv::nvs::index
