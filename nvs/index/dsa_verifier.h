#pragma once
// The public half of a database signing key laid out for fast verification:
// Montgomery arithmetic modulo p and q, and fixed-base tables of powers of g
// and y, so that checking a signature costs a few dozen multiplications and
// no allocation. Immutable once made: any number of threads may verify at once.

#include "nvs/index/montgomery.h"

#include <array>
#include <memory>
#include <optional>

typedef struct bignum_st BIGNUM;

namespace nv::nvs::index {

class dsa_verifier_t {
public:
    // Numbers of 160 bits at most (the digest, r and s), least significant limb first.
    using small_t = limbs_t<3>;

    // Null when the key is not of the shape this arithmetic covers (p odd and
    // at most 512 bits, q odd and of 66 to 160 bits); such keys go the general way.
    static std::unique_ptr<const dsa_verifier_t> make(const BIGNUM* p, const BIGNUM* q, const BIGNUM* g,
                                                      const BIGNUM* y);

    // The DSA equations for a digest already taken as a number: r and s in
    // [1, q), w = s^-1, v = g^(digest w) y^(r w) mod p mod q, valid when v = r.
    // Nothing when it cannot tell: s has no inverse modulo q (q is not a
    // prime, i.e. a broken key), which the general way settles.
    std::optional<bool> verify(const small_t& digest, const small_t& r, const small_t& s) const noexcept;

    // s^-1 mod q in Montgomery form (s^-1 * 2^192 mod q) for 0 < s < q, checked
    // by its product with s; nothing when s has no inverse.
    std::optional<small_t> inverse_in_form(const small_t& s) const noexcept;

private:
    // Bits of an exponent taken at once. Each more row doubles the tables (2 x
    // 64 entries of 64 bytes at 6), which are resident for as long as the
    // process runs, for a few per cent of a check.
    static constexpr unsigned rows = 6;
    using large_t = limbs_t<8>;
    using table_t = std::array<large_t, std::size_t(1) << rows>;

    dsa_verifier_t() = default;
    void fill(const large_t& g, const large_t& y) noexcept; // both in Montgomery form
    // Every column of the comb as a table index: index c holds the exponent's
    // bits c, c + columns, c + 2 columns, ... (bit `row` from row `row`).
    static constexpr unsigned max_columns = 32; // 160 bits in 6 rows, in whole bytes
    static_assert(rows <= 8 && max_columns >= (160 + rows - 1) / rows && max_columns % 8 == 0);
    using indexes_t = std::array<std::uint8_t, max_columns>;
    indexes_t column_indexes(const small_t& exponent) const noexcept;

    montgomery_t<8> mod_p_;
    montgomery_t<3> mod_q_;
    small_t two576_{}; // 2^576 mod q
    unsigned columns_ = 0;
    table_t g_table_{};
    table_t y_table_{};
};

} // namespace nv::nvs::index
