#pragma once
// A vector that keeps its first N elements inside the object and moves to the
// heap only beyond them: a lookup context that needs no more than N keys, the
// usual case, allocates nothing.

#include <cstddef>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

namespace nv::nvs::index {

// Elements are plain values (trivially copyable), only ever appended. Pointers
// to elements are invalidated by push_back.
template <class T, std::size_t N>
class spill_vector_t {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    spill_vector_t() noexcept {} // the inline storage stays uninitialised until used
    spill_vector_t(const spill_vector_t&) = delete;
    spill_vector_t& operator=(const spill_vector_t&) = delete;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return size_ > N ? heap_.data() : std::launder(reinterpret_cast<T*>(inline_)); }
    const T* data() const noexcept
    {
        return size_ > N ? heap_.data() : std::launder(reinterpret_cast<const T*>(inline_));
    }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    std::span<const T> items() const noexcept { return {data(), size_}; }

    T& push_back(const T& value)
    {
        if (size_ < N) {
            T* slot = ::new (static_cast<void*>(inline_ + size_ * sizeof(T))) T(value);
            ++size_;
            return *slot;
        }
        if (size_ == N) {
            heap_.reserve(2 * N);
            heap_.assign(begin(), end());
        }
        heap_.push_back(value);
        ++size_;
        return heap_.back();
    }

private:
    alignas(T) std::byte inline_[N * sizeof(T)];
    std::vector<T> heap_;
    std::size_t size_ = 0;
};

} // namespace nv::nvs::index
