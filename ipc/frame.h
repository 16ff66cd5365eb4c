// The frame that carries one message on every local link: a 4-byte
// little-endian length, then that many message bytes.
#pragma once

#include <cstdint>

namespace nv {

// Largest message length a link accepts and sends (64 MiB).
inline constexpr std::uint32_t max_ipc_message_size = 0x4000000;

// Bytes of the length field in front of every message.
inline constexpr std::uint32_t ipc_frame_header_size = 4;

// Reads the length field at `p` (4 bytes, little-endian whatever the host order).
constexpr std::uint32_t decode_frame_length(const std::uint8_t* p) noexcept
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Writes `length` as the 4-byte little-endian length field at `p`.
constexpr void encode_frame_length(std::uint32_t length, std::uint8_t* p) noexcept
{
    p[0] = static_cast<std::uint8_t>(length);
    p[1] = static_cast<std::uint8_t>(length >> 8);
    p[2] = static_cast<std::uint8_t>(length >> 16);
    p[3] = static_cast<std::uint8_t>(length >> 24);
}

// A received length is acceptable when it is 1 to `max_size` inclusive.
constexpr bool valid_frame_length(std::uint32_t length, std::uint32_t max_size) noexcept
{
    return length != 0 && length <= max_size;
}

// What the first bytes of a receive buffer hold.
enum class frame_status_t {
    incomplete,  // the length field or some message bytes are still to come
    complete,    // a whole frame
    bad_length,  // a length field that no frame may carry
};

// Looks at the frame that starts at `data`, of which `size` bytes have arrived.
// A length is judged as soon as its 4 bytes are there, before any message byte.
// For a complete frame `length` is set to its message length.
constexpr frame_status_t inspect_frame(const std::uint8_t* data, std::uint32_t size, std::uint32_t max_size,
                                       std::uint32_t& length) noexcept
{
    if (size < ipc_frame_header_size)
        return frame_status_t::incomplete;
    const std::uint32_t announced = decode_frame_length(data);
    if (!valid_frame_length(announced, max_size))
        return frame_status_t::bad_length;
    // Compared against what follows the header, so that nothing can wrap.
    if (size - ipc_frame_header_size < announced)
        return frame_status_t::incomplete;
    length = announced;
    return frame_status_t::complete;
}

}  // namespace nv
