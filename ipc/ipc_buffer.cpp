#include "ipc/ipc_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ipc/frame.h"

namespace nv {

std::uint32_t ipc_buffer::grown_capacity(std::uint32_t capacity, std::uint32_t n) noexcept
{
    // 64-bit arithmetic: capacity * 1.5 passes 32 bits for capacities above 2.8 GB.
    const std::uint64_t grown = std::uint64_t{capacity} + capacity / 2;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(grown, n), max_size));
}

void ipc_buffer::resize(std::uint32_t n, bool discard)
{
    if (n <= capacity_) {
        size_ = n;
        return;
    }
    const std::uint32_t capacity = grown_capacity(capacity_, n);
    auto storage = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (!discard && size_ != 0)
        std::memcpy(storage.get(), storage_.get(), std::min(n, size_));
    storage_ = std::move(storage);
    capacity_ = capacity;
    size_ = n;
}

void ipc_buffer::swap(ipc_buffer& other) noexcept
{
    std::swap(capacity_, other.capacity_);
    std::swap(size_, other.size_);
    std::swap(storage_, other.storage_);
}

std::optional<std::uint32_t> size_with_frame(std::uint32_t size, std::size_t message_size,
                                             std::uint32_t limit) noexcept
{
    // Subtract from the limit instead of adding to the size, so nothing can wrap.
    if (size > limit || limit - size < ipc_frame_header_size)
        return std::nullopt;
    const std::uint32_t room = limit - size - ipc_frame_header_size;
    if (message_size > room)
        return std::nullopt;
    return size + ipc_frame_header_size + static_cast<std::uint32_t>(message_size);
}

}  // namespace nv
