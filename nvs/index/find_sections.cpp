// The searches of section types 2, 3, 6 and 7.
#include "nvs/index/address_sections.h"
#include "nvs/index/cursor.h"
#include "nvs/index/ipv6_networks.h"
#include "nvs/index/sorted_records.h"

namespace nv::nvs::index {

match_t ipv4_hosts_t::find(std::uint32_t address) const noexcept
{
    std::uint32_t low = 0, high = size();
    while (low < high) {
        const std::uint32_t mid = low + (high - low) / 2;
        if (load32(record(mid)) < address)
            low = mid + 1;
        else
            high = mid;
    }
    if (low < size() && load32(record(low)) == address)
        return {true, content().offset_of(record(low))};
    return {};
}

match_t ipv6_hashes_t::find(const md5_key_t& key) const noexcept
{
    const std::uint32_t i = lower_bound_key(data(), size(), record_size, 0, key.data());
    if (i < size() && field_equals(data(), i, record_size, 0, key.data(), key.size()))
        return {true, content().offset_of(record(i))};
    return {};
}

match_t ipv4_networks_t::find(std::uint32_t address) const noexcept
{
    // The first record above the address; the one before it is the candidate.
    std::uint32_t low = 0, high = size();
    while (low < high) {
        const std::uint32_t mid = low + (high - low) / 2;
        if (load32(record(mid)) <= address)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == 0)
        return {};
    const std::uint8_t* candidate = record(low - 1);
    const unsigned prefix = candidate[4];
    // Prefix 0 covers every address, prefixes above 32 only the address itself.
    const std::uint32_t mask = prefix == 0 ? 0 : prefix >= 32 ? ~0u : ~0u << (32 - prefix);
    if ((address & mask) == load32(candidate))
        return {true, content().offset_of(candidate)};
    return {};
}

match_t ipv6_networks_t::find(std::span<const std::uint8_t, 16> address) const
{
    for (const auto& group : groups_) {
        const md5_key_t key = ipv6_network_key(address, group.prefix_length);
        const std::uint32_t i = lower_bound_key(group.keys, group.count, 16, 0, key.data());
        if (i < group.count && field_equals(group.keys, i, 16, 0, key.data(), key.size()))
            return {true, content_->offset_of(group.keys + std::size_t(i) * 16)};
    }
    return {};
}

} // namespace nv::nvs::index
