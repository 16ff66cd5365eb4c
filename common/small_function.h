// A move-only callable wrapper that keeps callables of up to `Capacity` bytes
// inside itself. std::function puts anything that holds a shared or weak
// pointer on the heap; the completions of a URL check hold several, one check
// after another, so they would cost allocations on every request.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace nv {

namespace small_function_detail {
template <class T>
inline constexpr bool is_std_function = false;
template <class S>
inline constexpr bool is_std_function<std::function<S>> = true;
}  // namespace small_function_detail

template <class Signature, std::size_t Capacity = 32>
class small_function_t;

template <class R, class... Args, std::size_t Capacity>
class small_function_t<R(Args...), Capacity> {
public:
    // Callables of type F live inside the wrapper (no allocation) when this is
    // true; larger ones, or ones whose move may throw, go to the heap.
    template <class F>
    static constexpr bool fits_inline = sizeof(F) <= Capacity && alignof(F) <= alignof(void*) &&
                                        std::is_nothrow_move_constructible_v<F>;

    small_function_t() noexcept = default;
    small_function_t(std::nullptr_t) noexcept {}

    // An empty std::function or a null function pointer gives an empty wrapper,
    // as it would for std::function.
    template <class F, class D = std::decay_t<F>>
        requires(!std::is_same_v<D, small_function_t> && std::is_invocable_r_v<R, D&, Args...>)
    small_function_t(F&& f)
    {
        if constexpr (std::is_pointer_v<D> || std::is_member_pointer_v<D> || small_function_detail::is_std_function<D>) {
            if (!f)
                return;
        }
        if constexpr (fits_inline<D>) {
            ::new (static_cast<void*>(storage_)) D(std::forward<F>(f));
            ops_ = &inline_ops<D>;
        } else {
            auto owned = std::make_unique<D>(std::forward<F>(f));
            ::new (static_cast<void*>(storage_)) D*(owned.release());
            ops_ = &heap_ops<D>;
        }
    }

    small_function_t(small_function_t&& other) noexcept { take(other); }
    small_function_t& operator=(small_function_t&& other) noexcept
    {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    small_function_t& operator=(std::nullptr_t) noexcept
    {
        reset();
        return *this;
    }
    template <class F>
        requires std::is_constructible_v<small_function_t, F&&>
    small_function_t& operator=(F&& f)
    {
        small_function_t made(std::forward<F>(f));
        reset();
        take(made);
        return *this;
    }

    small_function_t(const small_function_t&) = delete;
    small_function_t& operator=(const small_function_t&) = delete;

    ~small_function_t() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    friend bool operator==(const small_function_t& f, std::nullptr_t) noexcept { return !f; }

    // Like std::function: the callable is called as a non-const object, and an
    // empty wrapper throws std::bad_function_call.
    R operator()(Args... args) const
    {
        if (!ops_)
            throw std::bad_function_call();
        return ops_->invoke(const_cast<unsigned char*>(storage_), std::forward<Args>(args)...);
    }

private:
    struct ops_t {
        R (*invoke)(void* storage, Args&&... args);
        // Moves the callable from `from` into the raw storage `to` and ends it in `from`.
        void (*relocate)(void* to, void* from) noexcept;
        void (*destroy)(void* storage) noexcept;
    };

    template <class D>
    static constexpr ops_t inline_ops{
        [](void* storage, Args&&... args) -> R {
            return std::invoke(*static_cast<D*>(storage), std::forward<Args>(args)...);
        },
        [](void* to, void* from) noexcept {
            ::new (to) D(std::move(*static_cast<D*>(from)));
            static_cast<D*>(from)->~D();
        },
        [](void* storage) noexcept { static_cast<D*>(storage)->~D(); },
    };

    template <class D>
    static constexpr ops_t heap_ops{
        [](void* storage, Args&&... args) -> R {
            return std::invoke(**static_cast<D**>(storage), std::forward<Args>(args)...);
        },
        [](void* to, void* from) noexcept { ::new (to) D*(*static_cast<D**>(from)); },
        [](void* storage) noexcept { delete *static_cast<D**>(storage); },
    };

    void reset() noexcept
    {
        if (ops_) {
            // Cleared first: the callable's destructor may reach this wrapper again.
            const ops_t* ops = std::exchange(ops_, nullptr);
            ops->destroy(storage_);
        }
    }

    void take(small_function_t& other) noexcept
    {
        if (other.ops_) {
            other.ops_->relocate(storage_, other.storage_);
            ops_ = std::exchange(other.ops_, nullptr);
        }
    }

    alignas(void*) unsigned char storage_[Capacity < sizeof(void*) ? sizeof(void*) : Capacity];
    const ops_t* ops_ = nullptr;
};

}  // namespace nv
