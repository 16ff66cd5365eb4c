#include "nvs/index/cursor.h"

#include "nvs/index/error.h"

#include <cstring>

namespace nv::nvs::index {

void cursor_t::need(std::size_t n) const
{
    if (n > left_)
        throw_error(error_t::bad_file_format);
}

std::uint8_t cursor_t::read8()
{
    need(1);
    const std::uint8_t v = data_[0];
    skip(1);
    return v;
}

std::uint16_t cursor_t::read16()
{
    need(2);
    const std::uint16_t v = load16(data_);
    skip(2);
    return v;
}

std::uint32_t cursor_t::read32()
{
    need(4);
    const std::uint32_t v = load32(data_);
    skip(4);
    return v;
}

void cursor_t::skip(std::size_t n)
{
    need(n);
    data_ += n;
    left_ -= n;
}

std::string_view cursor_t::read_string()
{
    const void* zero = left_ ? std::memchr(data_, 0, left_) : nullptr;
    if (!zero)
        throw_error(error_t::bad_file_format);
    const std::size_t length = std::size_t(static_cast<const std::uint8_t*>(zero) - data_);
    std::string_view text(reinterpret_cast<const char*>(data_), length);
    skip(length + 1);
    return text;
}

} // namespace nv::nvs::index
