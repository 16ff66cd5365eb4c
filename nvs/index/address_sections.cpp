#include "nvs/index/address_sections.h"

#include "nvs/index/error.h"

namespace nv::nvs::index {

template <content_t::type_t Type, std::uint32_t RecordSize>
record_array_t<Type, RecordSize>::record_array_t(const content_t& content) : content_(&content)
{
    const auto section = content.section(Type);
    if (!section)
        return;
    if (section->size % RecordSize != 0)
        throw_error(error_t::bad_file_format);
    data_ = section->data;
    count_ = section->size / RecordSize;
}

template class record_array_t<content_t::type_t::ipv4_hosts, 4>;
template class record_array_t<content_t::type_t::ipv6_hashes, 16>;
template class record_array_t<content_t::type_t::ipv4_networks, 5>;

} // namespace nv::nvs::index
