// The lane kernels, each compiled for its own instruction set through a target
// attribute, so that the rest of the program stays plain x86-64 and the best
// kernel is chosen when the program runs.
#include "nvs/index/md5_lanes.h"

#if defined(__x86_64__)

#include "nvs/index/md5_rounds.h"

#include <immintrin.h>

namespace nv::nvs::index::lanes {

namespace {

// The MD5 initial state, as the signed values the set1 intrinsics take.
constexpr int init_a = int(0x67452301u), init_b = int(0xefcdab89u), init_c = int(0x98badcfeu),
              init_d = int(0x10325476u);

} // namespace

// Every kernel runs the same 64 steps; only the vector operations differ.
// Only the round function, one addition, the rotation and the last addition
// wait for the previous step (b); a, the word and the constant are summed
// while they run. Loads and stores are unaligned ones, which cost nothing on
// aligned data.
#define NORVA_MD5_LANES_STEP(f, a, b, c, d, k, s, t)                                                                \
    a = ADD(b, ROTL(ADD(f(b, c, d), ADD(a, ADD(LOAD(words + (k) * lanes), SET1(int(t))))), s));

#define NORVA_MD5_LANES_KERNEL()                                                                                    \
    V a = SET1(init_a), b = SET1(init_b), c = SET1(init_c), d = SET1(init_d);                                      \
    NORVA_MD5_ROUNDS(NORVA_MD5_LANES_STEP)                                                                          \
    STORE(state + 0 * lanes, ADD(a, SET1(init_a)));                                                                 \
    STORE(state + 1 * lanes, ADD(b, SET1(init_b)));                                                                 \
    STORE(state + 2 * lanes, ADD(c, SET1(init_c)));                                                                 \
    STORE(state + 3 * lanes, ADD(d, SET1(init_d)));

// SSE2, baseline of x86-64: a rotation is two shifts and an or, ~d an xor
// with all ones.
void md5_block_x4_sse2(const std::uint32_t* words, std::uint32_t* state) noexcept
{
    using V = __m128i;
    constexpr int lanes = 4;
    const V ones = _mm_set1_epi32(-1);
#define SET1 _mm_set1_epi32
#define ADD _mm_add_epi32
#define LOAD(p) _mm_loadu_si128(reinterpret_cast<const V*>(p))
#define STORE(p, v) _mm_storeu_si128(reinterpret_cast<V*>(p), v)
#define ROTL(x, s) _mm_or_si128(_mm_slli_epi32(x, s), _mm_srli_epi32(x, 32 - (s)))
#define F(b, c, d) _mm_xor_si128(d, _mm_and_si128(b, _mm_xor_si128(c, d)))
#define G(b, c, d) _mm_xor_si128(c, _mm_and_si128(d, _mm_xor_si128(b, c)))
#define H(b, c, d) _mm_xor_si128(_mm_xor_si128(b, c), d)
#define I(b, c, d) _mm_xor_si128(c, _mm_or_si128(b, _mm_xor_si128(d, ones)))
    NORVA_MD5_LANES_KERNEL()
#undef SET1
#undef ADD
#undef LOAD
#undef STORE
#undef ROTL
#undef F
#undef G
#undef H
#undef I
}

__attribute__((target("avx2"))) void md5_block_x8_avx2(const std::uint32_t* words, std::uint32_t* state) noexcept
{
    using V = __m256i;
    constexpr int lanes = 8;
    const V ones = _mm256_set1_epi32(-1);
#define SET1 _mm256_set1_epi32
#define ADD _mm256_add_epi32
#define LOAD(p) _mm256_loadu_si256(reinterpret_cast<const V*>(p))
#define STORE(p, v) _mm256_storeu_si256(reinterpret_cast<V*>(p), v)
#define ROTL(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))
#define F(b, c, d) _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)))
#define G(b, c, d) _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)))
#define H(b, c, d) _mm256_xor_si256(_mm256_xor_si256(b, c), d)
#define I(b, c, d) _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, ones)))
    NORVA_MD5_LANES_KERNEL()
#undef SET1
#undef ADD
#undef LOAD
#undef STORE
#undef ROTL
#undef F
#undef G
#undef H
#undef I
}

// AVX-512: the round functions as ternary logic (immediates are the truth
// tables: 0xCA is "b ? c : d", 0x96 b ^ c ^ d, 0x39 c ^ (b | ~d)) and
// rotations in one instruction; VL gives the same on 128- and 256-bit registers.
// Rotations through the zero-masking intrinsic with every lane selected: the
// plain one draws a warning from GCC 12's own header, and both compile to the
// same unmasked instruction.
#define F(b, c, d) TERN(b, c, d, 0xCA)
#define G(b, c, d) TERN(d, b, c, 0xCA)
#define H(b, c, d) TERN(b, c, d, 0x96)
#define I(b, c, d) TERN(b, c, d, 0x39)

__attribute__((target("avx512f,avx512vl"))) void md5_block_x4_avx512(const std::uint32_t* words,
                                                                       std::uint32_t* state) noexcept
{
    using V = __m128i;
    constexpr int lanes = 4;
#define SET1 _mm_set1_epi32
#define ADD _mm_add_epi32
#define LOAD(p) _mm_loadu_si128(reinterpret_cast<const V*>(p))
#define STORE(p, v) _mm_storeu_si128(reinterpret_cast<V*>(p), v)
#define ROTL(x, s) _mm_maskz_rol_epi32(__mmask8(0xFF), x, s)
#define TERN _mm_ternarylogic_epi32
    NORVA_MD5_LANES_KERNEL()
#undef SET1
#undef ADD
#undef LOAD
#undef STORE
#undef ROTL
#undef TERN
}

__attribute__((target("avx512f,avx512vl"))) void md5_block_x8_avx512(const std::uint32_t* words,
                                                                       std::uint32_t* state) noexcept
{
    using V = __m256i;
    constexpr int lanes = 8;
#define SET1 _mm256_set1_epi32
#define ADD _mm256_add_epi32
#define LOAD(p) _mm256_loadu_si256(reinterpret_cast<const V*>(p))
#define STORE(p, v) _mm256_storeu_si256(reinterpret_cast<V*>(p), v)
#define ROTL(x, s) _mm256_maskz_rol_epi32(__mmask8(0xFF), x, s)
#define TERN _mm256_ternarylogic_epi32
    NORVA_MD5_LANES_KERNEL()
#undef SET1
#undef ADD
#undef LOAD
#undef STORE
#undef ROTL
#undef TERN
}

__attribute__((target("avx512f"))) void md5_block_x16_avx512(const std::uint32_t* words,
                                                             std::uint32_t* state) noexcept
{
    using V = __m512i;
    constexpr int lanes = 16;
#define SET1 _mm512_set1_epi32
#define ADD _mm512_add_epi32
#define LOAD(p) _mm512_loadu_si512(p)
#define STORE(p, v) _mm512_storeu_si512(p, v)
#define ROTL(x, s) _mm512_maskz_rol_epi32(__mmask16(0xFFFF), x, s)
#define TERN _mm512_ternarylogic_epi32
    NORVA_MD5_LANES_KERNEL()
#undef SET1
#undef ADD
#undef LOAD
#undef STORE
#undef ROTL
#undef TERN
}

#undef F
#undef G
#undef H
#undef I
#undef NORVA_MD5_LANES_KERNEL
#undef NORVA_MD5_LANES_STEP

} // namespace nv::nvs::index::lanes

#endif
