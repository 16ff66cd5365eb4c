#include "nvs/index/dsa_verifier.h"

#include "nvs/index/bignum.h"
#include "nvs/index/signature.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace nv::nvs {
namespace {

using index::signature_t;
using test::bytes_t;

signature_t from_numbers(const BIGNUM* r, const BIGNUM* s)
{
    signature_t out{};
    EXPECT_EQ(BN_bn2lebinpad(r, out.data(), 20), 20);
    EXPECT_EQ(BN_bn2lebinpad(s, out.data() + 20, 20), 20);
    return out;
}

index::bn_ptr number(const std::uint8_t* le) { return index::bn_ptr(BN_lebin2bn(le, 20, nullptr)); }

// base + delta (delta may be negative), or null when it leaves [0, 2^160).
index::bn_ptr shifted(const BIGNUM* base, long delta)
{
    auto magnitude = index::new_bn(), out = index::new_bn();
    EXPECT_TRUE(BN_set_word(magnitude.get(), static_cast<BN_ULONG>(delta < 0 ? -delta : delta)));
    EXPECT_TRUE(delta < 0 ? BN_sub(out.get(), base, magnitude.get()) : BN_add(out.get(), base, magnitude.get()));
    if (BN_is_negative(out.get()) || BN_num_bits(out.get()) > 160)
        return nullptr;
    return out;
}

// The fast check and the general one must agree on every signature, valid or
// not: valid ones, values next to them, next to q, at 0 and 1, and random ones.
void expect_same_verdicts(const index::dsa_key_t& key, std::mt19937_64& rng)
{
    ASSERT_NE(key.verifier(), nullptr);
    for (int message = 0; message < 6; ++message) {
        bytes_t data(std::size_t(rng() % 300), 0);
        for (auto& b : data)
            b = std::uint8_t(rng());
        const signature_t good = index::sign(key, data);
        const auto r = number(good.data()), s = number(good.data() + 20);
        ASSERT_TRUE(index::verify_signature(key, data, good));

        std::vector<std::pair<std::string, signature_t>> cases{{"as signed", good}};
        for (long delta : {-1L, 1L}) {
            if (auto r2 = shifted(r.get(), delta))
                cases.push_back({"r " + std::to_string(delta), from_numbers(r2.get(), s.get())});
            if (auto s2 = shifted(s.get(), delta))
                cases.push_back({"s " + std::to_string(delta), from_numbers(r.get(), s2.get())});
        }
        cases.push_back({"r and s swapped", from_numbers(s.get(), r.get())});
        for (long delta : {-1L, 0L, 1L})
            if (auto near_q = shifted(key.q(), delta)) {
                cases.push_back({"r = q " + std::to_string(delta), from_numbers(near_q.get(), s.get())});
                cases.push_back({"s = q " + std::to_string(delta), from_numbers(r.get(), near_q.get())});
            }
        auto zero = index::new_bn(), one = index::new_bn();
        BN_zero(zero.get());
        ASSERT_TRUE(BN_one(one.get()));
        for (const BIGNUM* small : {zero.get(), one.get()}) {
            cases.push_back({"small r", from_numbers(small, s.get())});
            cases.push_back({"small s", from_numbers(r.get(), small)});
        }
        signature_t noise{};
        for (auto& b : noise)
            b = std::uint8_t(rng());
        cases.push_back({"random", noise});

        bytes_t other = data;
        other.push_back(0);
        for (const auto& [name, sig] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(index::verify_signature(key, data, sig), index::verify_signature_with_bignum(key, data, sig));
            EXPECT_EQ(index::verify_signature(key, other, sig), index::verify_signature_with_bignum(key, other, sig));
        }
        EXPECT_FALSE(index::verify_signature(key, other, good)) << "another message";
    }
}

TEST(DsaVerifier, AgreesWithTheGeneralArithmeticOnTheTestKey)
{
    std::mt19937_64 rng(8);
    expect_same_verdicts(test::test_key(), rng);
}

TEST(DsaVerifier, AgreesWithTheGeneralArithmeticOnFreshKeys)
{
    std::mt19937_64 rng(2026);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE("key " + std::to_string(k));
        expect_same_verdicts(index::dsa_key_t::generate(), rng);
    }
}

std::string hex(const BIGNUM* b)
{
    char* text = BN_bn2hex(b);
    std::string out(text);
    OPENSSL_free(text);
    return out;
}

TEST(DsaVerifier, KeysOfAnotherShapeTakeTheGeneralWay)
{
    const auto& key = test::test_key();
    auto even_q = index::new_bn();
    ASSERT_TRUE(BN_add(even_q.get(), key.q(), BN_value_one()));
    // q + 2 or q + 4, whichever 3 divides: odd, of the same size, not a prime.
    auto composite_q = index::new_bn();
    ASSERT_TRUE(BN_copy(composite_q.get(), key.q()));
    do
        ASSERT_TRUE(BN_add_word(composite_q.get(), 2));
    while (BN_mod_word(composite_q.get(), 3) != 0);
    ASSERT_LE(BN_num_bits(composite_q.get()), 160);
    auto big_p = index::new_bn();
    ASSERT_TRUE(BN_lshift(big_p.get(), key.p(), 100));
    ASSERT_TRUE(BN_add_word(big_p.get(), 1));
    struct row_t {
        const char* name;
        std::string p, q;
        bool fast; // whether the key gets a verifier
    } rows[] = {
        {"q even", hex(key.p()), hex(even_q.get()), false},
        {"p above 512 bits", hex(big_p.get()), hex(key.q()), false},
        // Of the right shape: the verifier finds out that s has no inverse its way.
        {"q odd but not a prime", hex(key.p()), hex(composite_q.get()), true},
    };
    const bytes_t data = test::bytes_of("signed bytes");
    std::vector<signature_t> signatures{index::sign(key, data)};
    signatures.push_back(signatures.back());
    signatures.back()[0] = 3; // r stays below any q here
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto other = index::dsa_key_t::from_hex(row.p.c_str(), row.q.c_str(), hex(key.g()).c_str(),
                                                      hex(key.y()).c_str());
        EXPECT_EQ(other.verifier() != nullptr, row.fast);
        for (const auto& sig : signatures)
            EXPECT_EQ(index::verify_signature(other, data, sig), index::verify_signature_with_bignum(other, data, sig));
    }
}

index::dsa_verifier_t::small_t small_of(const BIGNUM* b)
{
    std::uint8_t le[24];
    EXPECT_EQ(BN_bn2lebinpad(b, le, sizeof le), int(sizeof le));
    index::dsa_verifier_t::small_t out{};
    for (int i = 0; i < 24; ++i)
        out[i / 8] |= std::uint64_t(le[i]) << (8 * (i % 8));
    return out;
}

// The verifier's own answer: nothing exactly when s has no inverse modulo a
// q that is not a prime; a verdict otherwise, the general one.
TEST(DsaVerifier, NoVerdictOnlyWhenSHasNoInverse)
{
    const auto& key = test::test_key();
    // 3 times a prime of 150 bits: odd, of the right size, not a prime.
    auto factor = index::new_bn(), composite_q = index::new_bn();
    ASSERT_TRUE(BN_generate_prime_ex(factor.get(), 150, 0, nullptr, nullptr, nullptr));
    ASSERT_TRUE(BN_copy(composite_q.get(), factor.get()));
    ASSERT_TRUE(BN_mul_word(composite_q.get(), 3));
    const auto other = index::dsa_key_t::from_hex(hex(key.p()).c_str(), hex(composite_q.get()).c_str(),
                                                  hex(key.g()).c_str(), hex(key.y()).c_str());
    ASSERT_NE(other.verifier(), nullptr);
    const bytes_t data = test::bytes_of("signed bytes");
    auto seven = index::new_bn(), three = index::new_bn(), r = index::new_bn();
    ASSERT_TRUE(BN_set_word(seven.get(), 7));
    ASSERT_TRUE(BN_set_word(three.get(), 3));
    ASSERT_TRUE(BN_set_word(r.get(), 12345));
    struct row_t {
        const char* name;
        const BIGNUM* s;
        bool verdict; // whether verify() answers
    } rows[] = {
        {"s = 3, a factor of q", three.get(), false},
        {"s = the other factor", factor.get(), false},
        {"s = 7, coprime to q", seven.get(), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const signature_t sig = from_numbers(r.get(), row.s);
        const auto answer = other.verifier()->verify({5, 6, 7}, {12345, 0, 0}, small_of(row.s));
        EXPECT_EQ(answer.has_value(), row.verdict);
        EXPECT_EQ(index::verify_signature(other, data, sig), index::verify_signature_with_bignum(other, data, sig));
    }
}

// Files are checked on two threads at once with the one built-in verifier:
// the same verdicts as on one thread, whatever the other thread does.
TEST(DsaVerifier, TwoThreadsAtOnceGetTheVerdictsOfOne)
{
    const auto& key = test::test_key();
    std::mt19937_64 rng(2);
    std::vector<bytes_t> messages;
    std::vector<signature_t> signatures;
    for (int i = 0; i < 8; ++i) {
        bytes_t data(40 + std::size_t(i), 0);
        for (auto& b : data)
            b = std::uint8_t(rng());
        signatures.push_back(index::sign(key, data));
        if (i % 2 == 1)
            data[0] ^= 1; // every other one invalid
        messages.push_back(std::move(data));
    }
    std::atomic<int> wrong{0};
    auto check = [&](int offset) {
        for (int round = 0; round < 200; ++round)
            for (std::size_t i = 0; i < messages.size(); ++i) {
                const std::size_t k = (i + std::size_t(offset)) % messages.size();
                if (index::verify_signature(key, messages[k], signatures[k]) != (k % 2 == 0))
                    ++wrong;
            }
    };
    std::thread other(check, 3);
    check(0);
    other.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace nv::nvs
