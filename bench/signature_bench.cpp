// The cost of checking a database signature once its SHA-1 is known: the whole
// verification with the test key (valid and invalid signatures), what making
// the verifier's tables costs once per key, and the pieces: the 512-bit
// Montgomery product modulo p (the way this processor takes, and the portable
// code), the squaring, and the inverse of s modulo q (as s^(q-2), the old way,
// and by the binary extended Euclid).
#include "nvs/index/bignum.h"
#include "nvs/index/dsa_key.h"
#include "nvs/index/dsa_verifier.h"
#include "nvs/index/signature.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

namespace {

namespace index = nv::nvs::index;
using small_t = index::dsa_verifier_t::small_t;
using large_t = index::limbs_t<8>;

using index::limbs_of;

small_t from_le(const std::uint8_t* bytes)
{
    small_t n{};
    for (int i = 0; i < 20; ++i)
        n[i / 8] |= std::uint64_t(bytes[i]) << (8 * (i % 8));
    return n;
}

// 2^exponent mod m, as limbs.
template <std::size_t N>
index::limbs_t<N> power_of_two(int exponent, const BIGNUM* m)
{
    auto ctx = index::new_bn_ctx();
    return limbs_of<N>(index::power_of_two_mod(exponent, m, ctx.get()).get());
}

// The test key, a few signed messages, and their digests as verify() takes them.
struct fixture_t {
    index::dsa_key_t key =
        index::dsa_key_t::read_private_pem(std::string(NORVA_SOURCE_DIR) + "/keys/test-private-DO-NOT-USE.pem");
    struct case_t {
        small_t digest, r, s;
    };
    std::vector<case_t> cases;

    fixture_t()
    {
        std::mt19937_64 rng(512);
        for (int i = 0; i < 16; ++i) {
            std::vector<std::uint8_t> data(64 + i);
            for (auto& b : data)
                b = std::uint8_t(rng());
            const auto signature = index::sign(key, data);
            const auto be = index::digest_for_signing(data);
            std::uint8_t le[20];
            for (int k = 0; k < 20; ++k)
                le[k] = be[19 - k];
            cases.push_back({from_le(le), from_le(signature.data()), from_le(signature.data() + 20)});
        }
    }
};

const fixture_t& fixture()
{
    static const fixture_t f;
    return f;
}

void BM_VerifyValid(benchmark::State& state)
{
    const auto& f = fixture();
    const auto* verifier = f.key.verifier();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& c = f.cases[i++ % f.cases.size()];
        const auto valid = verifier->verify(c.digest, c.r, c.s);
        if (valid != true)
            state.SkipWithError("a valid signature was not accepted");
        benchmark::DoNotOptimize(valid);
    }
}
BENCHMARK(BM_VerifyValid)->Unit(benchmark::kMicrosecond);

// The same work as a valid one (the equation is computed in full), kept apart
// to show that nothing is cut short.
void BM_VerifyInvalid(benchmark::State& state)
{
    const auto& f = fixture();
    const auto* verifier = f.key.verifier();
    std::size_t i = 0;
    for (auto _ : state) {
        auto c = f.cases[i++ % f.cases.size()];
        c.digest[0] ^= 1;
        const auto valid = verifier->verify(c.digest, c.r, c.s);
        if (valid != false)
            state.SkipWithError("an invalid signature was not rejected");
        benchmark::DoNotOptimize(valid);
    }
}
BENCHMARK(BM_VerifyInvalid)->Unit(benchmark::kMicrosecond);

// What a process pays once per key before its first check: the tables.
void BM_MakeVerifier(benchmark::State& state)
{
    const auto& key = fixture().key;
    for (auto _ : state) {
        auto verifier = index::dsa_verifier_t::make(key.p(), key.q(), key.g(), key.y());
        benchmark::DoNotOptimize(verifier.get());
    }
}
BENCHMARK(BM_MakeVerifier)->Unit(benchmark::kMicrosecond);

struct mod_p_t {
    index::montgomery_t<8> mod;
    std::vector<large_t> values;
    mod_p_t()
    {
        const BIGNUM* p = fixture().key.p();
        mod = index::montgomery_t<8>(limbs_of<8>(p), power_of_two<8>(1024, p));
        std::mt19937_64 rng(8);
        for (int i = 0; i < 64; ++i) {
            large_t v;
            for (auto& limb : v)
                limb = rng();
            values.push_back(mod.to_form(v)); // below p
        }
    }
};

const mod_p_t& mod_p()
{
    static const mod_p_t m;
    return m;
}

// A chain, so that each product waits for the one before, as in the
// verification: the way this processor takes, or the portable code.
template <bool Portable>
void BM_MultiplyModP(benchmark::State& state)
{
    const auto& m = mod_p();
    large_t acc = m.values[0];
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& b = m.values[++i % m.values.size()];
        acc = Portable ? m.mod.multiply_portable(acc, b) : m.mod.multiply(acc, b);
        benchmark::DoNotOptimize(acc);
    }
}
BENCHMARK(BM_MultiplyModP<false>)->Name("BM_MultiplyModP");
BENCHMARK(BM_MultiplyModP<true>)->Name("BM_MultiplyModPPortable");

void BM_SquareModP(benchmark::State& state)
{
    const auto& m = mod_p();
    large_t acc = m.values[0];
    for (auto _ : state) {
        acc = m.mod.square(acc);
        benchmark::DoNotOptimize(acc);
    }
}
BENCHMARK(BM_SquareModP);

// s^-1 mod q as s^(q-2) in Montgomery form, with the product that proves it.
void BM_InverseModQByPower(benchmark::State& state)
{
    const auto& f = fixture();
    const BIGNUM* q = f.key.q();
    const index::montgomery_t<3> mod(limbs_of<3>(q), power_of_two<3>(384, q));
    auto q_minus_2 = index::new_bn();
    index::bn_check(BN_sub(q_minus_2.get(), q, BN_value_one()));
    index::bn_check(BN_sub_word(q_minus_2.get(), 1));
    const auto exponent = limbs_of<3>(q_minus_2.get());
    std::size_t i = 0;
    for (auto _ : state) {
        const auto s = mod.to_form(f.cases[i++ % f.cases.size()].s);
        const auto w = mod.power(s, exponent);
        const bool ok = mod.multiply(s, w) == mod.one();
        benchmark::DoNotOptimize(w);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_InverseModQByPower);

// The binary extended Euclid as the verification uses it: the almost inverse,
// its power of two taken out, and the product that proves it.
void BM_InverseModQByEuclid(benchmark::State& state)
{
    const auto& f = fixture();
    const auto* verifier = f.key.verifier();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto w = verifier->inverse_in_form(f.cases[i++ % f.cases.size()].s);
        if (!w)
            state.SkipWithError("no inverse");
        benchmark::DoNotOptimize(w);
    }
}
BENCHMARK(BM_InverseModQByEuclid);

} // namespace
