#pragma once
// Reads big-endian integers and zero-terminated strings from a byte range of a
// mapped database. Every read is bounds-checked: running past the end raises
// bad_file_format instead of reading beyond the range.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nv::nvs::index {

class cursor_t {
public:
    cursor_t(const std::uint8_t* data, std::size_t size) noexcept : data_(data), left_(size) {}

    const std::uint8_t* position() const noexcept { return data_; }
    std::size_t left() const noexcept { return left_; }

    std::uint8_t read8();
    std::uint16_t read16();
    std::uint32_t read32();
    void skip(std::size_t n);

    // The bytes up to the next zero byte, which is consumed but not returned.
    // Without a zero byte before the end the read fails.
    std::string_view read_string();

private:
    void need(std::size_t n) const;

    const std::uint8_t* data_;
    std::size_t left_;
};

// Big-endian values at a known-good position (bounds checked by the caller).
inline std::uint16_t load16(const std::uint8_t* p) noexcept { return std::uint16_t(p[0] << 8 | p[1]); }
inline std::uint32_t load32(const std::uint8_t* p) noexcept
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

} // namespace nv::nvs::index
