#include "nvs/index/signature.h"

#include "nvs/file.h"
#include "nvs/index/bignum.h"
#include "nvs/index/error.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <cstdio>

namespace nv::nvs {
namespace {

using index::signature_t;
using test::bytes_t;
using test::temp_dir_t;

const auto bad_signature = make_error_code(error_t::bad_file_signature);

bytes_t sample_database()
{
    bytes_t hosts;
    for (std::uint8_t b : {10, 0, 0, 1, 10, 0, 0, 2})
        hosts.push_back(b);
    return test::database({{1, test::bytes_of(std::string_view("abc\0", 4))}, {2, hosts}});
}

std::span<const std::uint8_t, 40> signature_of(const bytes_t& image)
{
    return std::span<const std::uint8_t, 40>(image.data() + image.size() - 40, 40);
}

std::span<const std::uint8_t> signed_area_of(const bytes_t& image) { return {image.data(), image.size() - 40}; }

TEST(Signature, BuiltInKeyIsTheTestKey)
{
    // Everything below assumes a default build; a deployment key would fail here first.
    EXPECT_EQ(BN_cmp(index::built_in_key().p(), test::test_key().p()), 0);
    EXPECT_EQ(BN_cmp(index::built_in_key().y(), test::test_key().y()), 0);
}

TEST(Signature, EveryFlippedBitAfterTheMagicIsRejected)
{
    temp_dir_t dir;
    const bytes_t good = sample_database();
    ASSERT_EQ(test::open_bytes_error(dir, good), boost::system::error_code());
    for (std::size_t at = 4; at < good.size() - 40; ++at)
        for (int bit = 0; bit < 8; ++bit) {
            bytes_t bad = good;
            bad[at] ^= std::uint8_t(1 << bit);
            ASSERT_EQ(test::open_bytes_error(dir, bad), bad_signature) << "byte " << at << " bit " << bit;
        }
}

TEST(Signature, FlippedSignatureBitsAreRejected)
{
    const bytes_t good = sample_database();
    for (std::size_t at = good.size() - 40; at < good.size(); ++at) {
        bytes_t bad = good;
        bad[at] ^= 0x01;
        EXPECT_FALSE(index::verify_signature(index::built_in_key(), signed_area_of(bad), signature_of(bad)))
            << "byte " << at;
    }
}

// r and s as the file stores them.
signature_t from_numbers(const BIGNUM* r, const BIGNUM* s)
{
    signature_t out{};
    EXPECT_EQ(BN_bn2lebinpad(r, out.data(), 20), 20);
    EXPECT_EQ(BN_bn2lebinpad(s, out.data() + 20, 20), 20);
    return out;
}

TEST(Signature, OutOfRangeValuesAreRejectedEvenWhenTheEquationHolds)
{
    const auto& key = test::test_key();
    const bytes_t data = test::bytes_of("signed bytes");
    // s + q gives the same inverse modulo q, so only the range check rejects it;
    // it must also fit in 20 bytes, which holds for a fair share of signatures.
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto sig = index::sign(key, data);
        index::bn_ptr r(BN_lebin2bn(sig.data(), 20, nullptr)), s(BN_lebin2bn(sig.data() + 20, 20, nullptr));
        auto s_plus_q = index::new_bn();
        ASSERT_TRUE(BN_add(s_plus_q.get(), s.get(), key.q()));
        if (BN_num_bits(s_plus_q.get()) > 160)
            continue;
        ASSERT_TRUE(index::verify_signature(key, data, sig));
        EXPECT_FALSE(index::verify_signature(key, data, from_numbers(r.get(), s_plus_q.get())));
        EXPECT_FALSE(index::verify_signature(key, data, from_numbers(r.get(), key.q())));
        EXPECT_FALSE(index::verify_signature(key, data, from_numbers(key.q(), s.get())));
        auto zero = index::new_bn();
        BN_zero(zero.get());
        EXPECT_FALSE(index::verify_signature(key, data, from_numbers(zero.get(), s.get())));
        EXPECT_FALSE(index::verify_signature(key, data, from_numbers(r.get(), zero.get())));
        return;
    }
    FAIL() << "no signature with s + q below 2^160 in 200 attempts";
}

// OpenSSL's own DSA code on the same key, fed the digest as the file defines it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct dsa_free_t {
    void operator()(DSA* d) const noexcept { DSA_free(d); }
};
struct sig_free_t {
    void operator()(DSA_SIG* s) const noexcept { DSA_SIG_free(s); }
};

std::unique_ptr<DSA, dsa_free_t> openssl_private_key()
{
    std::FILE* f = std::fopen(test::test_private_key_path().c_str(), "r");
    EXPECT_NE(f, nullptr);
    EVP_PKEY* pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    std::unique_ptr<DSA, dsa_free_t> dsa(EVP_PKEY_get1_DSA(pkey));
    EVP_PKEY_free(pkey);
    return dsa;
}

TEST(Signature, AgreesWithOpenSslDsa)
{
    temp_dir_t dir;
    auto dsa = openssl_private_key();
    ASSERT_TRUE(dsa);
    bytes_t image = sample_database();
    image.resize(image.size() - 40);
    const auto digest = index::digest_for_signing(image);

    // OpenSSL signs, our verifier accepts the file.
    std::unique_ptr<DSA_SIG, sig_free_t> sig(DSA_do_sign(digest.data(), int(digest.size()), dsa.get()));
    ASSERT_TRUE(sig);
    const BIGNUM *r = nullptr, *s = nullptr;
    DSA_SIG_get0(sig.get(), &r, &s);
    const auto ours = from_numbers(r, s);
    bytes_t signed_by_openssl = image;
    signed_by_openssl.insert(signed_by_openssl.end(), ours.begin(), ours.end());
    EXPECT_EQ(test::open_bytes_error(dir, signed_by_openssl), boost::system::error_code());

    // We sign, OpenSSL's verifier accepts.
    const auto mine = index::sign(test::test_key(), image);
    std::unique_ptr<DSA_SIG, sig_free_t> converted(DSA_SIG_new());
    ASSERT_TRUE(DSA_SIG_set0(converted.get(), BN_lebin2bn(mine.data(), 20, nullptr),
                             BN_lebin2bn(mine.data() + 20, 20, nullptr)));
    EXPECT_EQ(DSA_do_verify(digest.data(), int(digest.size()), converted.get(), dsa.get()), 1);

    // The conventions matter: the big-endian digest FIPS 186 would use is refused.
    unsigned char plain_sha1[20];
    SHA1(image.data(), image.size(), plain_sha1);
    std::unique_ptr<DSA_SIG, sig_free_t> standard(DSA_do_sign(plain_sha1, 20, dsa.get()));
    DSA_SIG_get0(standard.get(), &r, &s);
    const auto standard_sig = from_numbers(r, s);
    EXPECT_FALSE(index::verify_signature(test::test_key(), image, standard_sig));
}
#pragma GCC diagnostic pop

TEST(Signature, DigestWordsAreTheLittleEndianDigits)
{
    // SHA-1("abc") = a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d; the integer is
    // h4 h3 h2 h1 h0 from the most significant end.
    const auto value = index::digest_for_signing(test::bytes_of("abc"));
    const std::uint8_t expected[20] = {0x9c, 0xd0, 0xd8, 0x9d, 0x78, 0x50, 0xc2, 0x6c, 0xba, 0x3e,
                                       0x25, 0x71, 0x47, 0x06, 0x81, 0x6a, 0xa9, 0x99, 0x3e, 0x36};
    EXPECT_EQ(std::vector<std::uint8_t>(value.begin(), value.end()), std::vector<std::uint8_t>(expected, expected + 20));
}

} // namespace
} // namespace nv::nvs
