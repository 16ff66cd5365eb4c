#include "nvs/index/modular_inverse.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace nv::nvs::index {

namespace {

// Carry chains: the x86 intrinsics keep everything in registers, where GCC
// spills 128-bit temporaries to the stack.
#if defined(__x86_64__)
std::uint64_t subtract_borrow(std::uint64_t a, std::uint64_t b, std::uint64_t& borrow) noexcept
{
    unsigned long long d;
    borrow = _subborrow_u64(static_cast<unsigned char>(borrow), a, b, &d);
    return d;
}

std::uint64_t add_carry(std::uint64_t a, std::uint64_t b, std::uint64_t& carry) noexcept
{
    unsigned long long sum;
    carry = _addcarry_u64(static_cast<unsigned char>(carry), a, b, &sum);
    return sum;
}
#else
using u128 = unsigned __int128;

std::uint64_t subtract_borrow(std::uint64_t a, std::uint64_t b, std::uint64_t& borrow) noexcept
{
    const u128 d = u128(a) - b - borrow;
    borrow = std::uint64_t(d >> 64) & 1;
    return std::uint64_t(d);
}

std::uint64_t add_carry(std::uint64_t a, std::uint64_t b, std::uint64_t& carry) noexcept
{
    const u128 sum = u128(a) + b + carry;
    carry = std::uint64_t(sum >> 64);
    return std::uint64_t(sum);
}
#endif

// Swaps a and b where `mask` is all ones; leaves them where it is zero.
void swap_if(std::uint64_t mask, std::uint64_t& a, std::uint64_t& b) noexcept
{
    const std::uint64_t t = (a ^ b) & mask;
    a ^= t;
    b ^= t;
}

// The numbers as three variables each, so that they live in registers.
struct number_t {
    std::uint64_t l0, l1, l2;

    explicit number_t(const small_number_t& n) noexcept : l0(n[0]), l1(n[1]), l2(n[2]) {}
    number_t(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept : l0(a), l1(b), l2(c) {}
    small_number_t limbs() const noexcept { return {l0, l1, l2}; }
    bool is_zero() const noexcept { return (l0 | l1 | l2) == 0; }

    // The borrow out of *this - b: 1 when *this < b.
    std::uint64_t subtract(const number_t& b) noexcept
    {
        std::uint64_t borrow = 0;
        l0 = subtract_borrow(l0, b.l0, borrow);
        l1 = subtract_borrow(l1, b.l1, borrow);
        l2 = subtract_borrow(l2, b.l2, borrow);
        return borrow;
    }
    void add(const number_t& b) noexcept
    {
        std::uint64_t carry = 0;
        l0 = add_carry(l0, b.l0, carry);
        l1 = add_carry(l1, b.l1, carry);
        l2 = add_carry(l2, b.l2, carry);
    }
    void swap_if(std::uint64_t mask, number_t& b) noexcept
    {
        index::swap_if(mask, l0, b.l0);
        index::swap_if(mask, l1, b.l1);
        index::swap_if(mask, l2, b.l2);
    }
    // For 0 < bits < 64.
    void shift_right(unsigned bits) noexcept
    {
        l0 = l0 >> bits | l1 << (64 - bits);
        l1 = l1 >> bits | l2 << (64 - bits);
        l2 >>= bits;
    }
    void shift_left(unsigned bits) noexcept
    {
        l2 = l2 << bits | l1 >> (64 - bits);
        l1 = l1 << bits | l0 >> (64 - bits);
        l0 <<= bits;
    }
    // For any bits, a limb at a time.
    void shift_right_far(unsigned bits) noexcept
    {
        for (; bits >= 64; bits -= 64)
            *this = number_t(l1, l2, 0);
        if (bits != 0)
            shift_right(bits);
    }
    void shift_left_far(unsigned bits) noexcept
    {
        for (; bits >= 64; bits -= 64)
            *this = number_t(0, l0, l1);
        if (bits != 0)
            shift_left(bits);
    }
    // Of a non-zero number.
    unsigned trailing_zeros() const noexcept
    {
        if (l0 != 0)
            return unsigned(__builtin_ctzll(l0));
        if (l1 != 0)
            return 64 + unsigned(__builtin_ctzll(l1));
        return 128 + unsigned(__builtin_ctzll(l2));
    }
};

} // namespace

std::optional<almost_inverse_t> almost_inverse(const small_number_t& s, const small_number_t& m) noexcept
{
    // m = u * x + v * r throughout, so x and r stay at most m while u and v
    // are positive, and at most 2m after the last step. The pairs (u, x) and
    // (v, r) play the same part: each turn the larger number takes the
    // smaller away and is halved until odd, its coefficient doubled as often,
    // and the smaller's coefficient gains the larger's. Swapping the pairs
    // so that u is the larger spares the unpredictable branch; only the last
    // turn, where u and v are equal, depends on which pair began as (v, r).
    const number_t modulus(m);
    number_t u(m), v(s), r(0, 0, 0), x(1, 0, 0);
    if (v.is_zero())
        return std::nullopt;
    unsigned shift = v.trailing_zeros(); // r is 0: only the count matters
    v.shift_right_far(shift);
    std::uint64_t swapped = 0; // all ones while (u, x) holds what began as (v, r)
    for (;;) {                 // u and v odd
        number_t difference = v;
        // On equality too: the one that reaches zero must be u.
        const std::uint64_t swap = difference.subtract(u) - 1;
        u.swap_if(swap, v);
        x.swap_if(swap, r);
        swapped ^= swap;
        u.subtract(v);
        r.add(x);
        if (u.l0 != 0) {
            const unsigned t = unsigned(__builtin_ctzll(u.l0));
            u.shift_right(t);
            x.shift_left(t);
            shift += t;
        } else if (!u.is_zero()) {
            const unsigned t = u.trailing_zeros();
            u.shift_right_far(t);
            x.shift_left_far(t);
            shift += t;
        } else { // u was v: the common divisor, 1 when s has an inverse
            x.shift_left(1);
            ++shift;
            break;
        }
    }
    if (v.limbs() != small_number_t{1, 0, 0})
        return std::nullopt;
    // x is the doubled coefficient of the number that reached zero. When that
    // number began as m rather than s, the two coefficients (summing to m
    // before the doubling) give values of opposite signs.
    number_t reduced = x;
    if (reduced.subtract(modulus) != 0)
        reduced = x; // x was below m already
    if (!swapped)
        return almost_inverse_t{reduced.limbs(), shift};
    number_t value = modulus;
    value.subtract(reduced);
    return almost_inverse_t{value.limbs(), shift};
}

} // namespace nv::nvs::index
