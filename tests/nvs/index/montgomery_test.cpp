// The fixed-width arithmetic of the signature check against OpenSSL's general
// big numbers: Montgomery products modulo p-sized and q-sized moduli, and the
// binary inverse modulo q.
#include "nvs/index/bignum.h"
#include "nvs/index/modular_inverse.h"
#include "nvs/index/montgomery.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace nv::nvs {
namespace {

using index::limbs_t;

template <std::size_t N>
index::bn_ptr to_bn(const limbs_t<N>& a)
{
    std::array<unsigned char, 8 * N> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(a[i / 8] >> (8 * (i % 8)));
    index::bn_ptr b(BN_lebin2bn(bytes.data(), int(bytes.size()), nullptr));
    EXPECT_NE(b, nullptr);
    return b;
}

template <std::size_t N>
limbs_t<N> from_bn(const BIGNUM* b)
{
    std::array<unsigned char, 8 * N> bytes{};
    EXPECT_EQ(BN_bn2lebinpad(b, bytes.data(), int(bytes.size())), int(bytes.size()));
    limbs_t<N> out{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out[i / 8] |= std::uint64_t(bytes[i]) << (8 * (i % 8));
    return out;
}

template <std::size_t N>
std::string hex(const limbs_t<N>& a)
{
    const auto b = to_bn(a);
    char* text = BN_bn2hex(b.get());
    std::string out(text);
    OPENSSL_free(text);
    return out;
}

template <std::size_t N>
limbs_t<N> random_limbs(std::mt19937_64& rng)
{
    limbs_t<N> a;
    for (auto& limb : a)
        limb = rng();
    return a;
}

// A random value below m: random limbs reduced by BN.
template <std::size_t N>
limbs_t<N> random_below(const limbs_t<N>& m, std::mt19937_64& rng, BN_CTX* ctx)
{
    auto a = to_bn(random_limbs<N>(rng));
    const auto bm = to_bn(m);
    EXPECT_TRUE(BN_nnmod(a.get(), a.get(), bm.get(), ctx));
    return from_bn<N>(a.get());
}

// An odd modulus with its top bit at `bits - 1`.
template <std::size_t N>
limbs_t<N> random_modulus(unsigned bits, std::mt19937_64& rng)
{
    auto m = random_limbs<N>(rng);
    for (unsigned bit = bits; bit < 64 * N; ++bit)
        m[bit / 64] &= ~(std::uint64_t(1) << (bit % 64));
    m[(bits - 1) / 64] |= std::uint64_t(1) << ((bits - 1) % 64);
    m[0] |= 1;
    return m;
}

template <std::size_t N>
index::montgomery_t<N> montgomery_for(const limbs_t<N>& m, BN_CTX* ctx)
{
    auto r2 = index::new_bn();
    EXPECT_TRUE(BN_set_bit(r2.get(), int(2 * 64 * N)));
    const auto bm = to_bn(m);
    EXPECT_TRUE(BN_nnmod(r2.get(), r2.get(), bm.get(), ctx));
    return index::montgomery_t<N>(m, from_bn<N>(r2.get()));
}

// -m^-1 mod 2^64, found by search from the bits up.
std::uint64_t mod_inverse_of(const limbs_t<8>& m)
{
    std::uint64_t x = 0; // x * m = -1 mod 2^(bit + 1) after each step
    for (unsigned bit = 0; bit < 64; ++bit)
        if (((x * m[0] + 1) >> bit & 1) != 0)
            x |= std::uint64_t(1) << bit;
    return x;
}

// a * b / 2^(64N) mod m, by OpenSSL.
template <std::size_t N>
limbs_t<N> expected_product(const limbs_t<N>& a, const limbs_t<N>& b, const limbs_t<N>& m, BN_CTX* ctx)
{
    const auto ba = to_bn(a), bb = to_bn(b), bm = to_bn(m);
    auto r = index::new_bn(), r_inverse = index::new_bn(), out = index::new_bn();
    EXPECT_TRUE(BN_set_bit(r.get(), int(64 * N)));
    EXPECT_TRUE(BN_mod_inverse(r_inverse.get(), r.get(), bm.get(), ctx));
    EXPECT_TRUE(BN_mul(out.get(), ba.get(), bb.get(), ctx));
    EXPECT_TRUE(BN_mod_mul(out.get(), out.get(), r_inverse.get(), bm.get(), ctx));
    return from_bn<N>(out.get());
}

// Operands at the edges: 0, 1, m - 1, m - 2, a power of two below m, and
// random ones; the first operand also at R - 1 and other values above m, which
// to_form() passes in.
template <std::size_t N>
void check_products(const limbs_t<N>& m, std::mt19937_64& rng, BN_CTX* ctx)
{
    const auto mod = montgomery_for(m, ctx);
    limbs_t<N> zero{}, one{}, m1 = m, m2 = m, top{}, all_ones;
    one[0] = 1;
    m1[0] -= 1; // m is odd
    m2[0] -= 2;
    top[(N * 64 - 2) / 64] = 1; // 2^(64N-2) or a smaller power of two below m
    if (!index::less_than(top, m))
        top = one;
    all_ones.fill(~std::uint64_t(0));
    std::vector<limbs_t<N>> below{zero, one, m1, m2, top};
    for (int i = 0; i < 40; ++i)
        below.push_back(random_below(m, rng, ctx));
    std::vector<limbs_t<N>> firsts = below;
    firsts.push_back(all_ones);
    for (int i = 0; i < 10; ++i)
        firsts.push_back(random_limbs<N>(rng));
    for (const auto& a : firsts)
        for (const auto& b : below) {
            SCOPED_TRACE("a = " + hex(a) + ", b = " + hex(b));
            const auto expected = expected_product(a, b, m, ctx);
            ASSERT_EQ(mod.multiply(a, b), expected);
            ASSERT_EQ(mod.multiply_portable(a, b), expected);
            if (index::less_than(a, m)) {
                ASSERT_EQ(mod.square(a), expected_product(a, a, m, ctx));
            }
        }
}

TEST(Montgomery, ProductsModuloFiveHundredTwelveBitNumbersMatchOpenSsl)
{
    auto ctx = index::new_bn_ctx();
    std::mt19937_64 rng(512);
    struct row_t {
        const char* name;
        limbs_t<8> m;
    } rows[] = {
        {"p of the test key", from_bn<8>(test::test_key().p())},
        {"random 512 bits", random_modulus<8>(512, rng)},
        {"random 511 bits", random_modulus<8>(511, rng)},
        {"random 449 bits", random_modulus<8>(449, rng)},
        {"random 70 bits", random_modulus<8>(70, rng)},
        {"2^512 - 1", limbs_t<8>{~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull}},
        {"2^512 - 2^448 + 1", limbs_t<8>{1, 0, 0, 0, 0, 0, 0, ~0ull}},
        {"2^512 - 2^448 - 1", limbs_t<8>{~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull - 1}},
        {"2^511 + 1", limbs_t<8>{1, 0, 0, 0, 0, 0, 0, 1ull << 63}},
        {"3", limbs_t<8>{3}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        check_products(row.m, rng, ctx.get());
    }
}

#if defined(__x86_64__)
// The mulx/adcx/adox kernels called directly (multiply() takes it only on
// processors that have them), against the portable code, for moduli up to its
// bound 2^512 - 2^448 and operands up to R - 1 and m - 1.
TEST(Montgomery, AdxKernelsMatchThePortableCode)
{
    if (!index::detail::adx_available())
        GTEST_SKIP() << "this processor lacks BMI2 or ADX";
    auto ctx = index::new_bn_ctx();
    std::mt19937_64 rng(64);
    std::vector<limbs_t<8>> moduli{from_bn<8>(test::test_key().p()),
                                   limbs_t<8>{~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull, ~0ull - 1},
                                   limbs_t<8>{1, 0, 0, 0, 0, 0, 0, ~0ull - 1}, limbs_t<8>{1, 0, 0, 0, 0, 0, 0, 1}};
    for (int i = 0; i < 8; ++i)
        moduli.push_back(random_modulus<8>(64 * 7 + 1 + unsigned(rng() % 63), rng));
    for (const auto& m : moduli) {
        SCOPED_TRACE("m = " + hex(m));
        const auto mod = montgomery_for(m, ctx.get());
        limbs_t<8> m1 = m, all_ones;
        m1[0] -= 1;
        all_ones.fill(~0ull);
        std::vector<std::pair<limbs_t<8>, limbs_t<8>>> pairs{{all_ones, m1}, {m1, m1}, {all_ones, limbs_t<8>{1}}};
        for (int i = 0; i < 500; ++i)
            pairs.push_back({i % 2 ? random_limbs<8>(rng) : random_below(m, rng, ctx.get()),
                             random_below(m, rng, ctx.get())});
        for (const auto& [a, b] : pairs) {
            limbs_t<8> out;
            index::detail::multiply_8_adx(out.data(), a.data(), b.data(), m.data(), mod_inverse_of(m));
            ASSERT_EQ(out, mod.multiply_portable(a, b)) << "a = " << hex(a) << ", b = " << hex(b);
            index::detail::square_8_adx(out.data(), b.data(), m.data(), mod_inverse_of(m));
            ASSERT_EQ(out, mod.multiply_portable(b, b)) << "square of " << hex(b);
        }
    }
}
#endif

TEST(Montgomery, ProductsModuloOneHundredSixtyBitNumbersMatchOpenSsl)
{
    auto ctx = index::new_bn_ctx();
    std::mt19937_64 rng(160);
    struct row_t {
        const char* name;
        limbs_t<3> m;
    } rows[] = {
        {"q of the test key", from_bn<3>(test::test_key().q())},
        {"random 160 bits", random_modulus<3>(160, rng)},
        {"2^192 - 1", limbs_t<3>{~0ull, ~0ull, ~0ull}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        check_products(row.m, rng, ctx.get());
    }
}

// The value must be s^-1 * 2^shift mod m, checked by OpenSSL, with the shift
// within its bound; no inverse exactly when OpenSSL finds none.
void check_inverse(const limbs_t<3>& s, const limbs_t<3>& m, BN_CTX* ctx)
{
    SCOPED_TRACE("s = " + hex(s) + ", m = " + hex(m));
    const auto bs = to_bn(s), bm = to_bn(m);
    auto expected = index::new_bn();
    const bool invertible = BN_mod_inverse(expected.get(), bs.get(), bm.get(), ctx) != nullptr;
    const auto inverse = index::almost_inverse(s, m);
    ASSERT_EQ(inverse.has_value(), invertible);
    if (!inverse)
        return;
    EXPECT_LE(inverse->shift, unsigned(BN_num_bits(bm.get()) + BN_num_bits(bs.get()) + 1));
    EXPECT_TRUE(index::less_than(inverse->value, m));
    auto two = index::new_bn(), power = index::new_bn(), shifted = index::new_bn();
    ASSERT_TRUE(BN_set_word(two.get(), 2));
    auto exponent = index::new_bn();
    ASSERT_TRUE(BN_set_word(exponent.get(), inverse->shift));
    ASSERT_TRUE(BN_mod_exp(power.get(), two.get(), exponent.get(), bm.get(), ctx));
    ASSERT_TRUE(BN_mod_mul(shifted.get(), expected.get(), power.get(), bm.get(), ctx));
    EXPECT_EQ(hex(inverse->value), hex(from_bn<3>(shifted.get())));
}

TEST(ModularInverse, MatchesOpenSslOnPrimeAndCompositeModuli)
{
    auto ctx = index::new_bn_ctx();
    std::mt19937_64 rng(3);
    const auto q = from_bn<3>(test::test_key().q());
    std::vector<limbs_t<3>> moduli{q, random_modulus<3>(160, rng), random_modulus<3>(100, rng),
                                   random_modulus<3>(191, rng), limbs_t<3>{3}, limbs_t<3>{~0ull >> 1, ~0ull, ~0ull >> 1}};
    // 3 * 5 * 7 * ... times a large odd factor: many s share a factor with it.
    moduli.push_back(limbs_t<3>{3 * 5 * 7 * 11 * 13 * 0x1000000000001ull, 0x1234, 0});
    for (const auto& m : moduli) {
        limbs_t<3> m1 = m, m2 = m;
        m1[0] -= 1;
        m2[0] -= 2;
        std::vector<limbs_t<3>> values{limbs_t<3>{1}, limbs_t<3>{2}, limbs_t<3>{3}, m1, m2};
        for (unsigned bit = 1; bit < 191; bit += 37) {
            limbs_t<3> power{};
            power[bit / 64] = std::uint64_t(1) << (bit % 64);
            values.push_back(power);
        }
        for (int i = 0; i < 300; ++i)
            values.push_back(random_below(m, rng, ctx.get()));
        for (const auto& s : values)
            if (!index::is_zero(s) && index::less_than(s, m))
                check_inverse(s, m, ctx.get());
    }
}

TEST(ModularInverse, NoneWhenSIsZeroOrSharesAFactor)
{
    const limbs_t<3> m{15 * 0x10001ull, 0, 0};
    EXPECT_FALSE(index::almost_inverse(limbs_t<3>{}, m));
    EXPECT_FALSE(index::almost_inverse(limbs_t<3>{5}, m));
    EXPECT_FALSE(index::almost_inverse(limbs_t<3>{0x10001ull * 2}, m));
    EXPECT_TRUE(index::almost_inverse(limbs_t<3>{4}, m));
}

} // namespace
} // namespace nv::nvs
