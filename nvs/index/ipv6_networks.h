#pragma once
// Section type 7: groups of MD5 keys of IPv6 prefixes, one group per prefix
// length, tried in file order.

#include "nvs/index/content.h"
#include "nvs/index/match.h"
#include "nvs/url/address.h"

#include <span>
#include <vector>

namespace nv::nvs::index {

class ipv6_networks_t {
public:
    struct group_t {
        std::uint8_t prefix_length;
        const std::uint8_t* keys; // count keys of 16 bytes, ascending bytewise
        std::uint32_t count;
    };

    // Raises bad_file_format when a group head or its keys run past the section.
    explicit ipv6_networks_t(const content_t& content);

    const std::vector<group_t>& groups() const noexcept { return groups_; }
    // The sum of the key counts of all groups.
    std::uint32_t size() const noexcept { return size_; }
    const content_t& content() const noexcept { return *content_; }

    // The first group, in file order, holding the key of the address's prefix
    // of the group's length.
    match_t find(std::span<const std::uint8_t, 16> address) const;
    // The same for an IPv6 address of the context's URL, with the prefix keys
    // cached in the context and passed over when its key filter rules them out.
    match_t find(context_t& context, const ip_address_t& address) const;

private:
    const content_t* content_;
    std::vector<group_t> groups_;
    std::uint32_t size_ = 0;
};

} // namespace nv::nvs::index
