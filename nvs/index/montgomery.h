#pragma once
// Fixed-width modular arithmetic in Montgomery form, for the signature check:
// numbers of N 64-bit limbs (least significant first), an odd modulus below
// 2^(64N). Allocation-free and without hidden state, so that any thread may
// use a shared, immutable instance.

#include <array>
#include <cstddef>
#include <cstdint>

#define NORVA_UNROLL _Pragma("GCC unroll 8")

namespace nv::nvs::index {

template <std::size_t N>
using limbs_t = std::array<std::uint64_t, N>;

// a < b, as unsigned numbers.
template <std::size_t N>
bool less_than(const limbs_t<N>& a, const limbs_t<N>& b) noexcept
{
    for (std::size_t i = N; i-- > 0;)
        if (a[i] != b[i])
            return a[i] < b[i];
    return false;
}

template <std::size_t N>
bool is_zero(const limbs_t<N>& a) noexcept
{
    std::uint64_t any = 0;
    for (auto limb : a)
        any |= limb;
    return any == 0;
}

#if defined(__x86_64__)
namespace detail {
// Whether this processor has mulx, adcx and adox.
bool adx_available() noexcept;
// multiply() for N = 8 with those instructions; m below 2^512 - 2^448.
void multiply_8_adx(std::uint64_t* out, const std::uint64_t* a, const std::uint64_t* b, const std::uint64_t* m,
                    std::uint64_t m0_inverse) noexcept;
// The same for b = a, with each cross product taken once.
void square_8_adx(std::uint64_t* out, const std::uint64_t* a, const std::uint64_t* m,
                  std::uint64_t m0_inverse) noexcept;
} // namespace detail
#endif

template <std::size_t N>
class montgomery_t {
public:
    using number_t = limbs_t<N>;

    montgomery_t() = default;

    // `r2` is R^2 mod m for R = 2^(64N); the modulus must be odd.
    montgomery_t(const number_t& modulus, const number_t& r2) noexcept : m_(modulus), r2_(r2)
    {
        // Newton's iteration doubles the correct low bits of m^-1 mod 2^64 each step.
        std::uint64_t inverse = 1;
        for (int i = 0; i < 6; ++i)
            inverse *= 2 - m_[0] * inverse;
        m0_inverse_ = 0 - inverse;
#if defined(__x86_64__)
        if constexpr (N == 8)
            adx_ = detail::adx_available() && m_[N - 1] != ~std::uint64_t(0);
#endif
        one_ = to_form(number_t{1});
    }

    const number_t& modulus() const noexcept { return m_; }
    // -m^-1 mod 2^64.
    std::uint64_t m0_inverse() const noexcept { return m0_inverse_; }
    // 1 in Montgomery form (R mod m).
    const number_t& one() const noexcept { return one_; }

    // a * b / R mod m. Fully reduced when a * b < m * R, which holds for any
    // a < R once b < m.
    number_t multiply(const number_t& a, const number_t& b) const noexcept
    {
#if defined(__x86_64__)
        if constexpr (N == 8) {
            if (!adx_)
                return multiply_elsewhere(a, b);
            number_t out;
            detail::multiply_8_adx(out.data(), a.data(), b.data(), m_.data(), m0_inverse_);
            return out;
        }
#endif
        return multiply_portable(a, b);
    }

    // The same in plain C++, on any processor (and to check the other ways).
    number_t multiply_portable(const number_t& a, const number_t& b) const noexcept
    {
        // Unrolled, the few limbs stay in registers: for N = 3 (q) a third
        // of the time of the loops GCC keeps at -O2.
        using u128 = unsigned __int128;
        std::uint64_t t[N + 2] = {};
        NORVA_UNROLL for (std::size_t i = 0; i < N; ++i) {
            std::uint64_t carry = 0;
            NORVA_UNROLL for (std::size_t j = 0; j < N; ++j) {
                const u128 x = u128(a[j]) * b[i] + t[j] + carry;
                t[j] = std::uint64_t(x);
                carry = std::uint64_t(x >> 64);
            }
            u128 x = u128(t[N]) + carry;
            t[N] = std::uint64_t(x);
            t[N + 1] = std::uint64_t(x >> 64);

            const std::uint64_t q = t[0] * m0_inverse_;
            x = u128(q) * m_[0] + t[0];
            carry = std::uint64_t(x >> 64);
            NORVA_UNROLL for (std::size_t j = 1; j < N; ++j) {
                x = u128(q) * m_[j] + t[j] + carry;
                t[j - 1] = std::uint64_t(x);
                carry = std::uint64_t(x >> 64);
            }
            x = u128(t[N]) + carry;
            t[N - 1] = std::uint64_t(x);
            t[N] = t[N + 1] + std::uint64_t(x >> 64);
        }
        // The sum lies below 2m: one subtraction at most.
        number_t out;
        std::uint64_t borrow = 0;
        NORVA_UNROLL for (std::size_t j = 0; j < N; ++j) {
            const u128 d = u128(t[j]) - m_[j] - borrow;
            out[j] = std::uint64_t(d);
            borrow = std::uint64_t(d >> 64) & 1;
        }
        if (t[N] < borrow) // t < m: keep it as it was
            NORVA_UNROLL for (std::size_t j = 0; j < N; ++j)
                out[j] = t[j];
        return out;
    }

    number_t square(const number_t& a) const noexcept
    {
#if defined(__x86_64__)
        if constexpr (N == 8)
            if (adx_) {
                number_t out;
                detail::square_8_adx(out.data(), a.data(), m_.data(), m0_inverse_);
                return out;
            }
#endif
        return multiply(a, a);
    }

    // a * R mod m, for any a < R.
    number_t to_form(const number_t& a) const noexcept { return multiply(a, r2_); }
    // The plain value of a number in Montgomery form, fully reduced.
    number_t from_form(const number_t& a) const noexcept { return multiply(a, number_t{1}); }

    // base^exponent in Montgomery form; `base` in Montgomery form.
    template <std::size_t E>
    number_t power(const number_t& base, const limbs_t<E>& exponent) const noexcept
    {
        number_t acc = one_;
        for (std::size_t bit = 64 * E; bit-- > 0;) {
            acc = square(acc);
            if (exponent[bit / 64] >> (bit % 64) & 1)
                acc = multiply(acc, base);
        }
        return acc;
    }

private:
    // Out of line, so that the callers of the fast way do not carry the
    // portable code's registers and frame.
    [[gnu::noinline]] number_t multiply_elsewhere(const number_t& a, const number_t& b) const noexcept
    {
        return multiply_portable(a, b);
    }

    number_t m_{};
    number_t r2_{};
    number_t one_{};
    std::uint64_t m0_inverse_ = 0;
    bool adx_ = false; // multiply() takes multiply_8_adx
};

} // namespace nv::nvs::index

#undef NORVA_UNROLL
