#pragma once
// Binary search over sorted fixed-size records in a mapping.

#include <bit>
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

// The first 8 bytes of a key as a number, so that numeric order is bytewise order.
inline std::uint64_t key_prefix(const std::uint8_t* p) noexcept
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

// lower_bound_bytes for 16-byte MD5 keys. Digests are spread evenly over their
// range, so a key's value predicts its position: the pivots are interpolated
// between the keys at the ends of the remaining range, which on a large run
// touches a handful of records instead of one per halving (each usually a cache
// miss in the mapping). Any pivot inside the range keeps the result exact;
// after a few rounds, or on uneven data, plain halving finishes the search.
inline std::uint32_t lower_bound_key(const std::uint8_t* first, std::uint32_t count, std::size_t stride,
                                     std::size_t field, const std::uint8_t* key) noexcept
{
    constexpr std::size_t key_size = 16;
    const auto at = [&](std::uint32_t i) { return first + i * stride + field; };
    const std::uint64_t k = key_prefix(key);
    std::uint32_t low = 0, high = count;
    for (int round = 0; round < 6 && high - low > 8; ++round) {
        const std::uint64_t a = key_prefix(at(low)), b = key_prefix(at(high - 1));
        if (k < a)
            return low; // below the first key of the range
        if (k > b)
            return high; // above the last one
        if (a == b)
            break;
        const std::uint32_t span = high - 1 - low;
        const std::uint32_t pivot = low + std::uint32_t((unsigned __int128)(k - a) * span / (b - a));
        if (std::memcmp(at(pivot), key, key_size) < 0)
            low = pivot + 1;
        else
            high = pivot;
    }
    return low + lower_bound_bytes(at(low) - field, high - low, stride, field, key, key_size);
}

} // namespace nv::nvs::index
