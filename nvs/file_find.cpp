// The lookup of a URL in one database.
#include "nvs/file.h"
#include "nvs/find_in_set.h"
#include "nvs/index/url_find.h"

namespace nv::nvs {

namespace {

index::match_t find_address(const file_t& file, index::context_t& context, const ip_address_t& address)
{
    if (address.is_v4()) {
        if (const auto match = file.ipv4_networks().find(address.v4_value()); match.found)
            return match;
        return file.ipv4_hosts().find(address.v4_value());
    }
    if (const auto match = file.ipv6_networks().find(context, address); match.found)
        return match;
    // Skipped without hashing when there is nothing to compare the key with.
    if (file.ipv6_hashes().size() == 0)
        return {};
    const auto key = context.address_key_to_search(address, 0);
    return key ? file.ipv6_hashes().find(*key) : index::match_t{};
}

// Addresses, then the host/path searches of types 4 and 5 (`find_urls`), then
// patterns: the first search that matches decides.
template <class FindUrls>
index::match_t find_in(const file_t& file, index::context_t& context, FindUrls&& find_urls)
{
    const url_t& url = context.url();
    for (const auto& address : url.addresses())
        if (const auto match = find_address(file, context, address); match.found)
            return match;
    if (const auto match = find_urls(); match.found)
        return match;
    if (file.patterns().size() != 0)
        return file.patterns().find(url.str(url_t::format_t::plain));
    return {};
}

} // namespace

index::match_t file_t::find(index::context_t& context) const
{
    return find_in(*this, context, [&] {
        if (const auto match = urls_.find(context); match.found)
            return match;
        return urls_with_params_.find(context);
    });
}

index::match_t find_in_file(const file_t& file, index::context_t& context, const walk_plan_t& plan,
                            const walk_plan_t::file_keys_t& keys)
{
    return find_in(file, context, [&] {
        const std::uint32_t* run_pairs = plan.run_pairs().data() + keys.run_pairs;
        const index::host_pair_t* pairs = plan.pairs().data();
        const auto& urls = file.urls().runs();
        if (const auto match = index::find_url_records<4>(file.content(), urls, context, run_pairs, pairs); match.found)
            return match;
        return index::find_url_records<5>(file.content(), file.urls_with_params().runs(), context,
                                          run_pairs + urls.size(), pairs);
    });
}

} // namespace nv::nvs
