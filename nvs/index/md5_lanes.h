#pragma once
// One MD5 block for each of several messages at once, one message per 32-bit
// lane of an x86-64 vector register. Internal to md5_many.
//
// `words` holds the 16 message words of every lane, word-major: word k of
// lane j is words[k * lanes + j]. The kernels start from the MD5 initial
// state and write the final state the same way: state[i * lanes + j] is word
// i of lane j's digest. Lanes that carry no message still compute something;
// the caller ignores them.

#include <cstdint>

namespace nv::nvs::index::lanes {

// Any processor: 2 or 3 messages interleaved in integer code. These read the
// padded blocks one after the other instead of `words`: blocks + 64 * j is
// lane j's block.
void md5_block_x2_scalar(const std::uint8_t* blocks, std::uint32_t* state) noexcept;
void md5_block_x3_scalar(const std::uint8_t* blocks, std::uint32_t* state) noexcept;

#if defined(__x86_64__)
void md5_block_x4_sse2(const std::uint32_t* words, std::uint32_t* state) noexcept;
void md5_block_x8_avx2(const std::uint32_t* words, std::uint32_t* state) noexcept;
// AVX-512F with VL: rotations and the round functions are one instruction each.
void md5_block_x4_avx512(const std::uint32_t* words, std::uint32_t* state) noexcept;
void md5_block_x8_avx512(const std::uint32_t* words, std::uint32_t* state) noexcept;
void md5_block_x16_avx512(const std::uint32_t* words, std::uint32_t* state) noexcept;
#endif

} // namespace nv::nvs::index::lanes
