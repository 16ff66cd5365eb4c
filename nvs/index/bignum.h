#pragma once
// Owning handles for OpenSSL big numbers, for the key and signature code only.

#include <openssl/bn.h>

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

} // namespace nv::nvs::index
