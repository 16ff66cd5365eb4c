#include "nvs/index/dsa_verifier.h"

#include "nvs/index/bignum.h"
#include "nvs/index/modular_inverse.h"

#include <algorithm>

namespace nv::nvs::index {

namespace {

// 2^exponent, for an exponent below 192.
dsa_verifier_t::small_t power_of_two(unsigned exponent) noexcept
{
    dsa_verifier_t::small_t out{};
    out[exponent / 64] = std::uint64_t(1) << (exponent % 64);
    return out;
}

} // namespace

std::unique_ptr<const dsa_verifier_t> dsa_verifier_t::make(const BIGNUM* p, const BIGNUM* q, const BIGNUM* g,
                                                           const BIGNUM* y)
{
    if (!p || !q || !g || !y)
        return nullptr;
    const int q_bits = BN_num_bits(q);
    // A q of 65 bits or fewer is far from the databases' keys: such keys go
    // the general way, as they always did.
    if (BN_num_bits(p) > 512 || !BN_is_odd(p) || q_bits > 160 || q_bits < 66 || !BN_is_odd(q))
        return nullptr;
    if (BN_num_bits(g) > 512 || BN_num_bits(y) > 512)
        return nullptr;
    auto ctx = new_bn_ctx();

    std::unique_ptr<dsa_verifier_t> v(new dsa_verifier_t());
    v->mod_p_ = montgomery_t<8>(limbs_of<8>(p), limbs_of<8>(power_of_two_mod(2 * 512, p, ctx.get()).get()));
    v->mod_q_ = montgomery_t<3>(limbs_of<3>(q), limbs_of<3>(power_of_two_mod(2 * 192, q, ctx.get()).get()));
    v->two576_ = limbs_of<3>(power_of_two_mod(576, q, ctx.get()).get());
    v->columns_ = unsigned(q_bits + rows - 1) / rows;
    v->fill(v->mod_p_.to_form(limbs_of<8>(g)), v->mod_p_.to_form(limbs_of<8>(y)));
    return v;
}

// Entry j of a base's table is the product of base^(2^(row * columns)) over
// the rows whose bit is set in j (Lim and Lee's comb): an exponent below q
// then costs one squaring and one multiplication per column instead of per
// bit. The two tables are made side by side: each product waits for the one
// before it, and the other table's product fills the wait.
void dsa_verifier_t::fill(const large_t& g, const large_t& y) noexcept
{
    std::array<large_t, rows> g_rows, y_rows;
    g_rows[0] = g;
    y_rows[0] = y;
    for (unsigned row = 1; row < rows; ++row) {
        g_rows[row] = g_rows[row - 1];
        y_rows[row] = y_rows[row - 1];
        for (unsigned i = 0; i < columns_; ++i) {
            g_rows[row] = mod_p_.square(g_rows[row]);
            y_rows[row] = mod_p_.square(y_rows[row]);
        }
    }
    g_table_[0] = y_table_[0] = mod_p_.one();
    for (unsigned j = 1; j < g_table_.size(); ++j) {
        g_table_[j] = mod_p_.multiply(g_table_[j & (j - 1)], g_rows[__builtin_ctz(j)]);
        y_table_[j] = mod_p_.multiply(y_table_[j & (j - 1)], y_rows[__builtin_ctz(j)]);
    }
}

namespace {

// Bit i of a byte moved to bit 8i: eight columns' bits of one row at once.
constexpr std::array<std::uint64_t, 256> spread_bits = [] {
    std::array<std::uint64_t, 256> out{};
    for (unsigned byte = 0; byte < 256; ++byte)
        for (unsigned bit = 0; bit < 8; ++bit)
            out[byte] |= std::uint64_t(byte >> bit & 1) << (8 * bit);
    return out;
}();

// The 64 bits of the exponent from bit `start` on, zeros past its end.
std::uint64_t bits_from(const dsa_verifier_t::small_t& exponent, unsigned start) noexcept
{
    const unsigned limb = start / 64, offset = start % 64;
    if (limb >= exponent.size())
        return 0;
    std::uint64_t out = exponent[limb] >> offset;
    if (offset != 0 && limb + 1 < exponent.size())
        out |= exponent[limb + 1] << (64 - offset);
    return out;
}

} // namespace

auto dsa_verifier_t::column_indexes(const small_t& exponent) const noexcept -> indexes_t
{
    std::array<std::uint64_t, max_columns / 8> groups{};
    for (unsigned row = 0; row < rows; ++row) {
        // Bits past this row's columns belong to the next row; the bytes they
        // land in are never read.
        const std::uint64_t chunk = bits_from(exponent, row * columns_);
        for (unsigned g = 0; g < groups.size(); ++g)
            groups[g] |= spread_bits[chunk >> (8 * g) & 0xFF] << row;
    }
    indexes_t out;
    for (unsigned c = 0; c < out.size(); ++c)
        out[c] = std::uint8_t(groups[c / 8] >> (8 * (c % 8)));
    return out;
}

std::optional<dsa_verifier_t::small_t> dsa_verifier_t::inverse_in_form(const small_t& s) const noexcept
{
    // s^-1 * 2^192 mod q, from s^-1 * 2^shift.
    const auto inverse = almost_inverse(s, mod_q_.modulus());
    if (!inverse)
        return std::nullopt; // s shares a factor with q: not a prime, a broken key
    small_t w;
    if (inverse->shift > 192 && inverse->shift < 384)
        w = mod_q_.multiply(inverse->value, power_of_two(384 - inverse->shift));
    else if (inverse->shift >= 1 && inverse->shift <= 192)
        w = mod_q_.multiply(mod_q_.to_form(inverse->value), power_of_two(192 - inverse->shift));
    else
        return std::nullopt; // beyond the bound on the shift: cannot happen
    // The product proves w the inverse whatever went before: s * w / 2^192 = 1.
    if (mod_q_.multiply(s, w) != small_t{1, 0, 0})
        return std::nullopt;
    return w;
}

std::optional<bool> dsa_verifier_t::verify(const small_t& digest, const small_t& r, const small_t& s) const noexcept
{
    const small_t& q = mod_q_.modulus();
    if (is_zero(r) || !less_than(r, q) || is_zero(s) || !less_than(s, q))
        return false;
    const auto w = inverse_in_form(s);
    if (!w)
        return std::nullopt;
    // A plain factor times one in Montgomery form gives a plain product; the
    // digest may exceed q, which the multiplication reduces.
    const small_t u1 = mod_q_.multiply(digest, *w);
    const small_t u2 = mod_q_.multiply(r, *w);

    const indexes_t g_indexes = column_indexes(u1), y_indexes = column_indexes(u2);
    // Each product waits for the one before: the processor is left waiting
    // on the carries of each reduction. The product of the two table entries
    // does not depend on the accumulator, so it runs alongside its squaring,
    // and the chain is two products a column instead of three.
    large_t acc = mod_p_.one();
    for (unsigned column = columns_; column-- > 0;) {
        const unsigned j = g_indexes[column], k = y_indexes[column];
        const large_t factor = mod_p_.multiply(g_table_[j], y_table_[k]);
        acc = mod_p_.square(acc);
        acc = mod_p_.multiply(acc, factor);
    }
    const large_t v = mod_p_.from_form(acc);

    // v mod q: six Montgomery rounds of one limb each take v to v / 2^384 mod
    // q, below 2^128 + q; one multiplication by 2^576 mod q gives the factor
    // back and reduces fully.
    using u128 = unsigned __int128;
    std::array<std::uint64_t, 9> t{};
    std::copy(v.begin(), v.end(), t.begin());
    for (std::size_t round = 0; round < 6; ++round) {
        const std::uint64_t m = t[round] * mod_q_.m0_inverse();
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            const u128 x = u128(m) * q[j] + t[round + j] + carry;
            t[round + j] = std::uint64_t(x);
            carry = std::uint64_t(x >> 64);
        }
        for (std::size_t j = round + 3; j < t.size() && carry != 0; ++j) {
            const u128 x = u128(t[j]) + carry;
            t[j] = std::uint64_t(x);
            carry = std::uint64_t(x >> 64);
        }
    }
    const small_t x = mod_q_.multiply({t[6], t[7], t[8]}, two576_);
    return x == r;
}

} // namespace nv::nvs::index
