#pragma once
// Owning handles for OpenSSL big numbers, for the key and signature code only.

#include "nvs/index/montgomery.h"

#include <openssl/bn.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>

namespace nv::nvs::index {

struct bn_free_t {
    void operator()(BIGNUM* b) const noexcept { BN_clear_free(b); }
};
struct bn_ctx_free_t {
    void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};
using bn_ptr = std::unique_ptr<BIGNUM, bn_free_t>;
using bn_ctx_ptr = std::unique_ptr<BN_CTX, bn_ctx_free_t>;

inline bn_ptr new_bn()
{
    bn_ptr b(BN_new());
    if (!b)
        throw std::bad_alloc();
    return b;
}

inline bn_ctx_ptr new_bn_ctx()
{
    bn_ctx_ptr c(BN_CTX_new());
    if (!c)
        throw std::bad_alloc();
    return c;
}

// OpenSSL calls that can fail only for lack of memory.
inline void bn_check(int ok)
{
    if (!ok)
        throw std::bad_alloc();
}

// b as N limbs, least significant first; b must fit.
template <std::size_t N>
limbs_t<N> limbs_of(const BIGNUM* b)
{
    std::array<unsigned char, 8 * N> bytes{};
    bn_check(BN_bn2lebinpad(b, bytes.data(), int(bytes.size())) == int(bytes.size()));
    limbs_t<N> out{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out[i / 8] |= std::uint64_t(bytes[i]) << (8 * (i % 8));
    return out;
}

// 2^exponent mod m.
inline bn_ptr power_of_two_mod(int exponent, const BIGNUM* m, BN_CTX* ctx)
{
    auto x = new_bn(), out = new_bn();
    bn_check(BN_set_bit(x.get(), exponent));
    bn_check(BN_mod(out.get(), x.get(), m, ctx));
    return out;
}

} // namespace nv::nvs::index
