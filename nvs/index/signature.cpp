#include "nvs/index/signature.h"

#include "nvs/index/bignum.h"
#include "nvs/index/built_in_key.h"

#include <openssl/sha.h>

#include <algorithm>

namespace nv::nvs::index {

namespace {

// SHA-1 writes its state words big-endian; the file takes them as the digits of
// a little-endian number in base 2^32, which is each word byte-reversed in place.
bn_ptr digest_value(std::span<const std::uint8_t> signed_area)
{
    std::uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(signed_area.data(), signed_area.size(), digest);
    std::uint8_t le[SHA_DIGEST_LENGTH];
    for (int word = 0; word < 5; ++word)
        for (int i = 0; i < 4; ++i)
            le[4 * word + i] = digest[4 * word + 3 - i];
    bn_ptr d(BN_lebin2bn(le, sizeof le, nullptr));
    bn_check(d != nullptr);
    return d;
}

bn_ptr from_le(const std::uint8_t* bytes)
{
    bn_ptr b(BN_lebin2bn(bytes, 20, nullptr));
    bn_check(b != nullptr);
    return b;
}

bool in_range(const BIGNUM* v, const BIGNUM* q) { return !BN_is_zero(v) && BN_cmp(v, q) < 0; }

} // namespace

bool verify_signature(const dsa_key_t& key, std::span<const std::uint8_t> signed_area,
                      std::span<const std::uint8_t, signature_size> signature)
{
    const auto r = from_le(signature.data());
    const auto s = from_le(signature.data() + 20);
    if (!in_range(r.get(), key.q()) || !in_range(s.get(), key.q()))
        return false;

    auto ctx = new_bn_ctx();
    const auto d = digest_value(signed_area);
    auto w = new_bn(), u1 = new_bn(), u2 = new_bn(), v = new_bn();
    if (!BN_mod_inverse(w.get(), s.get(), key.q(), ctx.get()))
        return false; // only when q is not prime, i.e. a broken key
    bn_check(BN_mod_mul(u1.get(), d.get(), w.get(), key.q(), ctx.get()));
    bn_check(BN_mod_mul(u2.get(), r.get(), w.get(), key.q(), ctx.get()));
    bn_check(BN_mod_exp2_mont(v.get(), key.g(), u1.get(), key.y(), u2.get(), key.p(), ctx.get(), nullptr));
    bn_check(BN_nnmod(v.get(), v.get(), key.q(), ctx.get()));
    return BN_cmp(v.get(), r.get()) == 0;
}

signature_t sign(const dsa_key_t& key, std::span<const std::uint8_t> signed_area)
{
    auto ctx = new_bn_ctx();
    const auto d = digest_value(signed_area);
    auto k = new_bn(), kinv = new_bn(), r = new_bn(), s = new_bn(), xr = new_bn();
    for (;;) {
        bn_check(BN_priv_rand_range_ex(k.get(), key.q(), 0, ctx.get()));
        if (BN_is_zero(k.get()))
            continue;
        BN_set_flags(k.get(), BN_FLG_CONSTTIME);
        bn_check(BN_mod_exp_mont_consttime(r.get(), key.g(), k.get(), key.p(), ctx.get(), nullptr));
        bn_check(BN_nnmod(r.get(), r.get(), key.q(), ctx.get()));
        if (BN_is_zero(r.get()))
            continue;
        bn_check(BN_mod_inverse(kinv.get(), k.get(), key.q(), ctx.get()) != nullptr);
        bn_check(BN_mod_mul(xr.get(), key.x(), r.get(), key.q(), ctx.get()));
        bn_check(BN_mod_add(s.get(), xr.get(), d.get(), key.q(), ctx.get()));
        bn_check(BN_mod_mul(s.get(), s.get(), kinv.get(), key.q(), ctx.get()));
        if (!BN_is_zero(s.get()))
            break;
    }
    signature_t out{};
    bn_check(BN_bn2lebinpad(r.get(), out.data(), 20) == 20);
    bn_check(BN_bn2lebinpad(s.get(), out.data() + 20, 20) == 20);
    return out;
}

std::array<std::uint8_t, 20> digest_for_signing(std::span<const std::uint8_t> signed_area)
{
    std::array<std::uint8_t, 20> be{};
    bn_check(BN_bn2binpad(digest_value(signed_area).get(), be.data(), 20) == 20);
    return be;
}

const dsa_key_t& built_in_key()
{
    static const dsa_key_t key = dsa_key_t::from_hex(built_in_key_numbers.p, built_in_key_numbers.q,
                                                     built_in_key_numbers.g, built_in_key_numbers.y);
    return key;
}

} // namespace nv::nvs::index
