#pragma once
// Inverse modulo an odd number by the binary extended Euclid (Kaliski's
// "almost inverse"), for the signature check: only public values pass here, so
// the running time may depend on them. Allocation-free; no state.

#include "nvs/index/montgomery.h"

#include <optional>

namespace nv::nvs::index {

template <std::size_t N>
struct almost_inverse_t {
    limbs_t<N> value; // s^-1 * 2^shift mod m, below m
    unsigned shift;   // at most the bit lengths of m and s together, plus one
};

namespace detail {

template <std::size_t N>
void subtract(limbs_t<N>& a, const limbs_t<N>& b) noexcept
{
    unsigned char borrow = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const std::uint64_t d = a[i] - b[i] - borrow;
        borrow = (a[i] < b[i]) | (a[i] == b[i] && borrow);
        a[i] = d;
    }
}

template <std::size_t N>
void add(limbs_t<N>& a, const limbs_t<N>& b) noexcept
{
    unsigned char carry = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const std::uint64_t s = a[i] + b[i] + carry;
        carry = (s < a[i]) | (s == a[i] && carry);
        a[i] = s;
    }
}

// Trailing zero bits of a non-zero number.
template <std::size_t N>
unsigned trailing_zeros(const limbs_t<N>& a) noexcept
{
    std::size_t i = 0;
    while (a[i] == 0)
        ++i;
    return unsigned(64 * i) + unsigned(__builtin_ctzll(a[i]));
}

template <std::size_t N>
void shift_right(limbs_t<N>& a, unsigned bits) noexcept
{
    const std::size_t limbs = bits / 64;
    bits %= 64;
    for (std::size_t i = 0; i < N; ++i) {
        const std::uint64_t low = i + limbs < N ? a[i + limbs] : 0;
        const std::uint64_t high = i + limbs + 1 < N ? a[i + limbs + 1] : 0;
        a[i] = bits == 0 ? low : low >> bits | high << (64 - bits);
    }
}

template <std::size_t N>
void shift_left(limbs_t<N>& a, unsigned bits) noexcept
{
    const std::size_t limbs = bits / 64;
    bits %= 64;
    for (std::size_t i = N; i-- > 0;) {
        const std::uint64_t high = i >= limbs ? a[i - limbs] : 0;
        const std::uint64_t low = i >= limbs + 1 ? a[i - limbs - 1] : 0;
        a[i] = bits == 0 ? high : high << bits | low >> (64 - bits);
    }
}

} // namespace detail

// For an odd m below 2^(64N - 1) and 0 < s < m: s^-1 * 2^shift mod m, or
// nothing when s and m have a common factor. The power of two is what the
// halvings leave behind; one Montgomery multiplication removes it.
template <std::size_t N>
std::optional<almost_inverse_t<N>> almost_inverse(const limbs_t<N>& s, const limbs_t<N>& m) noexcept
{
    // m = u * x + v * r throughout, so x and r stay at most m while u and v
    // are positive, and at most 2m after the last step.
    limbs_t<N> u = m, v = s, r{}, x{};
    x[0] = 1;
    unsigned shift = 0;
    if (is_zero(v))
        return std::nullopt;
    {
        const unsigned t = detail::trailing_zeros(v);
        detail::shift_right(v, t);
        detail::shift_left(r, t); // r is 0: only the count matters
        shift += t;
    }
    // u and v odd from here on, at the top of every turn.
    for (;;) {
        if (less_than(v, u)) {
            detail::subtract(u, v);
            detail::add(r, x);
            const unsigned t = detail::trailing_zeros(u);
            detail::shift_right(u, t);
            detail::shift_left(x, t);
            shift += t;
        } else {
            detail::subtract(v, u);
            detail::add(x, r);
            if (is_zero(v)) { // u = v: u is the common divisor
                detail::shift_left(r, 1);
                ++shift;
                break;
            }
            const unsigned t = detail::trailing_zeros(v);
            detail::shift_right(v, t);
            detail::shift_left(r, t);
            shift += t;
        }
    }
    limbs_t<N> one{};
    one[0] = 1;
    if (u != one)
        return std::nullopt;
    if (!less_than(r, m))
        detail::subtract(r, m);
    limbs_t<N> value = m;
    detail::subtract(value, r);
    return almost_inverse_t<N>{value, shift};
}

} // namespace nv::nvs::index
