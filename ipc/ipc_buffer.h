// Growable byte buffer of a link; it never shrinks, so a link that keeps
// exchanging messages of similar size stops allocating after the first few.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace nv {

class ipc_buffer {
public:
    // Sizes are 32-bit: no buffer ever holds more than this.
    static constexpr std::uint32_t max_size = std::numeric_limits<std::uint32_t>::max();

    ipc_buffer() noexcept = default;
    ipc_buffer(const ipc_buffer&) = delete;
    ipc_buffer& operator=(const ipc_buffer&) = delete;
    ipc_buffer(ipc_buffer&&) noexcept = default;
    ipc_buffer& operator=(ipc_buffer&&) noexcept = default;

    // Makes the size `n`. Storage is replaced only when the capacity is short,
    // by one of grown_capacity(capacity, n) bytes; the first min(n, old size)
    // bytes survive unless `discard` is set. Throws std::bad_alloc (the buffer
    // is then unchanged).
    void resize(std::uint32_t n, bool discard = false);

    // Exchanges storage, size and capacity with `other`.
    void swap(ipc_buffer& other) noexcept;

    std::uint8_t* data() noexcept { return storage_.get(); }
    const std::uint8_t* data() const noexcept { return storage_.get(); }
    std::uint32_t size() const noexcept { return size_; }
    std::uint32_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }

    // Capacity chosen when `n` bytes do not fit into `capacity`: the larger of
    // n and capacity * 1.5 (rounded down), saturated at max_size.
    static std::uint32_t grown_capacity(std::uint32_t capacity, std::uint32_t n) noexcept;

private:
    std::uint32_t capacity_ = 0;
    std::uint32_t size_ = 0;
    std::unique_ptr<std::uint8_t[]> storage_;
};

// Size of a buffer now holding `size` bytes once one frame (length field plus
// `message_size` bytes) is appended; nothing when that would pass `limit`.
// Computed without wrapping for any argument values.
std::optional<std::uint32_t> size_with_frame(std::uint32_t size, std::size_t message_size,
                                             std::uint32_t limit) noexcept;

}  // namespace nv
