#pragma once
// Binary search over sorted fixed-size records in a mapping.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nv::nvs::index {

// The first of `count` records of `stride` bytes whose `size`-byte field at
// `field` is not less than `value` (bytewise), or count when there is none.
inline std::uint32_t lower_bound_bytes(const std::uint8_t* first, std::uint32_t count, std::size_t stride,
                                       std::size_t field, const std::uint8_t* value, std::size_t size) noexcept
{
    std::uint32_t low = 0, high = count;
    while (low < high) {
        const std::uint32_t mid = low + (high - low) / 2;
        if (std::memcmp(first + mid * stride + field, value, size) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// Whether the field of record i equals the value.
inline bool field_equals(const std::uint8_t* first, std::uint32_t i, std::size_t stride, std::size_t field,
                         const std::uint8_t* value, std::size_t size) noexcept
{
    return std::memcmp(first + i * stride + field, value, size) == 0;
}

} // namespace nv::nvs::index
