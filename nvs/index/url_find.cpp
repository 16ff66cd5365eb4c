#include "nvs/index/url_find.h"

#include "nvs/index/cursor.h"
#include "nvs/index/sorted_records.h"

#include <algorithm>

namespace nv::nvs::index {

namespace {

constexpr std::size_t key_field = 3;

// Whether every key of one parameter-set list is among the URL's parameter
// keys. A key listed twice counts twice, so such a list needs its key only once
// in the URL but still n keys in all.
bool list_holds(const std::uint8_t* keys, unsigned n, context_t& context)
{
    if (n > context.parameter_keys().size())
        return false;
    for (unsigned i = 0; i < n; ++i)
        if (!context.has_parameter_key(keys + std::size_t(i) * 16))
            return false;
    return true;
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
match_t find_url_records(const content_t& content, const url_t::run_list_t& runs, context_t& context,
                         const std::uint32_t* run_pairs, const host_pair_t* pairs)
{
    if (runs.empty())
        return {};
    const record_test_t<Type> test{content, context};
    const nvs::url_t& url = context.url();
    const std::size_t path_length = url.path().size();

    // Address phase: keys of the URL's addresses, shorter path prefixes first.
    // The runs of levels 254 (IPv6) and 255 (IPv4) close the list.
    if (!url.addresses().empty() && runs.back().level >= level_ipv6_address) {
        const auto level_begin = [&runs](unsigned level) {
            return std::partition_point(runs.begin(), runs.end(),
                                        [level](const url_t::keyed_run_t& r) { return r.level < level; });
        };
        const auto v6 = level_begin(level_ipv6_address), v4 = level_begin(level_ipv4_address);
        for (const auto& address : url.addresses()) {
            const auto first = address.is_v4() ? v4 : v6, last = address.is_v4() ? runs.end() : v4;
            for (auto it = first; it != last && it->depth <= path_length; ++it) {
                const auto key = context.address_key_to_search(address, it->depth);
                if (!key)
                    continue;
                if (const match_t match = test(it->run, *key); match.found)
                    return match;
            }
        }
    }

    // Host phase: shorter host suffixes first, and within one shorter path prefixes.
    const unsigned labels = context.label_count();
    if (run_pairs) {
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const auto& [level, depth, run] = runs[i];
            if (level > labels)
                break;
            if (depth > path_length)
                continue;
            const std::uint32_t pair = run_pairs[i];
            if (const md5_key_t* key = context.host_key_to_search(pair, pairs[pair]))
                if (const match_t match = test(run, *key); match.found)
                    return match;
        }
        return {};
    }
    for (const auto& [level, depth, run] : runs) {
        if (level > labels)
            break;
        if (depth > path_length)
            continue;
        const auto key = context.host_key_to_search(level, depth);
        if (!key)
            continue;
        if (const match_t match = test(run, *key); match.found)
            return match;
    }
    return {};
}

template match_t find_url_records<4>(const content_t&, const url_t::run_list_t&, context_t&, const std::uint32_t*,
                                     const host_pair_t*);
template match_t find_url_records<5>(const content_t&, const url_t::run_list_t&, context_t&, const std::uint32_t*,
                                     const host_pair_t*);

} // namespace nv::nvs::index
