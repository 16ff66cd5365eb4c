#include "nvs/index/ipv6_networks.h"

#include "nvs/index/context.h"
#include "nvs/index/cursor.h"
#include "nvs/index/error.h"
#include "nvs/index/sorted_records.h"

namespace nv::nvs::index {

ipv6_networks_t::ipv6_networks_t(const content_t& content) : content_(&content)
{
    const auto section = content.section(content_t::type_t::ipv6_networks);
    if (!section || section->size == 0)
        return;
    cursor_t cursor(section->data, section->size);
    const unsigned count = cursor.read8();
    groups_.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        if (cursor.left() < 5)
            throw_error(error_t::bad_file_format);
        const std::uint8_t prefix = cursor.read8();
        const std::uint32_t keys = cursor.read32();
        if (std::uint64_t(keys) * 16 > cursor.left())
            throw_error(error_t::bad_file_format);
        groups_.push_back({prefix, cursor.position(), keys});
        cursor.skip(std::size_t(keys) * 16);
        size_ += keys; // cannot wrap: every key takes 16 bytes of a 32-bit file
    }
}

match_t ipv6_networks_t::find(context_t& context, const ip_address_t& address) const
{
    for (const auto& group : groups_) {
        const auto key = context.ipv6_prefix_key_to_search(address, group.prefix_length);
        if (!key)
            continue;
        const std::uint32_t i = lower_bound_key(group.keys, group.count, 16, 0, key->data());
        if (i < group.count && field_equals(group.keys, i, 16, 0, key->data(), key->size()))
            return {true, content_->offset_of(group.keys + std::size_t(i) * 16)};
    }
    return {};
}

} // namespace nv::nvs::index
