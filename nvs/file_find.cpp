// The lookup of a URL in one database.
#include "nvs/file.h"

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

} // namespace

index::match_t file_t::find(index::context_t& context) const
{
    const url_t& url = context.url();
    for (const auto& address : url.addresses())
        if (const auto match = find_address(*this, context, address); match.found)
            return match;
    if (const auto match = urls_.find(context); match.found)
        return match;
    if (const auto match = urls_with_params_.find(context); match.found)
        return match;
    if (patterns_.size() != 0)
        return patterns_.find(url.str(url_t::format_t::plain));
    return {};
}

} // namespace nv::nvs
