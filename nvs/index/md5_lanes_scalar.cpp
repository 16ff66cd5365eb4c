// Lane kernels in plain integer code: a few messages whose steps are
// interleaved, so that the processor runs them side by side. One MD5 block is
// a chain of dependent steps; a single message leaves most of the integer
// units idle, while the vector kernels pay a longer latency per step. For two
// or three messages this is the fastest way on every processor; four would
// need more registers than x86-64 has.
#include "nvs/index/md5_lanes.h"

#include "nvs/index/md5_rounds.h"

namespace nv::nvs::index::lanes {

namespace {

constexpr std::uint32_t init[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

inline std::uint32_t rotl(std::uint32_t x, unsigned n) noexcept { return x << n | x >> (32 - n); }

// The round functions, written so that the term with b, the result of the
// previous step, comes last. In G the two terms have no bit in common, so the
// sum equals the or, and the term without b is added early.
inline std::uint32_t F(std::uint32_t b, std::uint32_t c, std::uint32_t d) noexcept { return d ^ (b & (c ^ d)); }
inline std::uint32_t G(std::uint32_t b, std::uint32_t c, std::uint32_t d) noexcept { return (c & ~d) + (b & d); }
inline std::uint32_t H(std::uint32_t b, std::uint32_t c, std::uint32_t d) noexcept { return (c ^ d) ^ b; }
inline std::uint32_t I(std::uint32_t b, std::uint32_t c, std::uint32_t d) noexcept { return c ^ (b | ~d); }

// Keeps a value in an integer register: left alone, the compiler packs the
// lanes into vector registers, which brings back the vector latency.
inline void in_register(std::uint32_t& x) noexcept
{
#if defined(__GNUC__)
    asm("" : "+r"(x));
#endif
}

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

template <int lanes>
void md5_block_interleaved(const std::uint8_t* blocks, std::uint32_t* state) noexcept
{
    std::uint32_t a[lanes], b[lanes], c[lanes], d[lanes];
    for (int j = 0; j < lanes; ++j) {
        a[j] = init[0];
        b[j] = init[1];
        c[j] = init[2];
        d[j] = init[3];
    }
#define NORVA_MD5_INTERLEAVED_STEP(f, a, b, c, d, k, s, t)                                                         \
    _Pragma("GCC unroll 4") for (int j = 0; j < lanes; ++j) {                                                      \
        const std::uint32_t sum = a[j] + load_le32(blocks + 64 * j + 4 * (k)) + (t);                               \
        a[j] = b[j] + rotl(f(b[j], c[j], d[j]) + sum, s);                                                          \
        in_register(a[j]);                                                                                         \
    }
    NORVA_MD5_ROUNDS(NORVA_MD5_INTERLEAVED_STEP)
#undef NORVA_MD5_INTERLEAVED_STEP
    for (int j = 0; j < lanes; ++j) {
        state[0 * lanes + j] = a[j] + init[0];
        state[1 * lanes + j] = b[j] + init[1];
        state[2 * lanes + j] = c[j] + init[2];
        state[3 * lanes + j] = d[j] + init[3];
    }
}

} // namespace

void md5_block_x2_scalar(const std::uint8_t* blocks, std::uint32_t* state) noexcept
{
    md5_block_interleaved<2>(blocks, state);
}

void md5_block_x3_scalar(const std::uint8_t* blocks, std::uint32_t* state) noexcept
{
    md5_block_interleaved<3>(blocks, state);
}

} // namespace nv::nvs::index::lanes
