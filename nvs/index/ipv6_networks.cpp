#include "nvs/index/ipv6_networks.h"

#include "nvs/index/cursor.h"
#include "nvs/index/error.h"

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

} // namespace nv::nvs::index
