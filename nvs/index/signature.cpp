#include "nvs/index/signature.h"

#include "nvs/index/bignum.h"
#include "nvs/index/built_in_key.h"
#include "nvs/index/dsa_verifier.h"

#include <openssl/sha.h>

#include <algorithm>

namespace nv::nvs::index {

namespace {

// The five state words of SHA-1 after the signed area; the digest bytes hold
// them big-endian. The one-shot SHA1() fetches the digest from the provider
// machinery and allocates on every call; the low-level calls, deprecated but
// kept, hash in place, so that several threads may check files at once
// without malloc arenas of their own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::array<std::uint32_t, 5> digest_words(std::span<const std::uint8_t> signed_area) noexcept
{
    SHA_CTX sha;
    SHA1_Init(&sha);
    SHA1_Update(&sha, signed_area.data(), signed_area.size());
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1_Final(digest, &sha);
    std::array<std::uint32_t, 5> words;
    for (int w = 0; w < 5; ++w)
        words[w] = std::uint32_t(digest[4 * w]) << 24 | std::uint32_t(digest[4 * w + 1]) << 16
            | std::uint32_t(digest[4 * w + 2]) << 8 | digest[4 * w + 3];
    return words;
}
#pragma GCC diagnostic pop

// The file takes the state words as the digits of a number in base 2^32,
// least significant first.
dsa_verifier_t::small_t digest_number(std::span<const std::uint8_t> signed_area) noexcept
{
    const auto h = digest_words(signed_area);
    return {std::uint64_t(h[0]) | std::uint64_t(h[1]) << 32, std::uint64_t(h[2]) | std::uint64_t(h[3]) << 32, h[4]};
}

dsa_verifier_t::small_t number_from_le(const std::uint8_t* bytes) noexcept
{
    dsa_verifier_t::small_t n{};
    for (int i = 0; i < 20; ++i)
        n[i / 8] |= std::uint64_t(bytes[i]) << (8 * (i % 8));
    return n;
}

bn_ptr digest_value(std::span<const std::uint8_t> signed_area)
{
    const auto h = digest_words(signed_area);
    std::uint8_t le[SHA_DIGEST_LENGTH];
    for (int word = 0; word < 5; ++word)
        for (int i = 0; i < 4; ++i)
            le[4 * word + i] = std::uint8_t(h[word] >> (8 * i));
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
    if (const auto* verifier = key.verifier())
        if (const auto valid = verifier->verify(digest_number(signed_area), number_from_le(signature.data()),
                                                number_from_le(signature.data() + 20)))
            return *valid;
    return verify_signature_with_bignum(key, signed_area, signature);
}

bool verify_signature_with_bignum(const dsa_key_t& key, std::span<const std::uint8_t> signed_area,
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
