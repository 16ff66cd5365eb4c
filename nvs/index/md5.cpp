#include "nvs/index/md5.h"

#include <cstring>

namespace nv::nvs::index {

namespace {

std::uint32_t rotl(std::uint32_t x, unsigned n) noexcept { return x << n | x >> (32 - n); }

std::uint32_t load_le32(const std::uint8_t* p) noexcept
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

} // namespace

void md5_t::block(const std::uint8_t* p) noexcept
{
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = load_le32(p + 4 * i);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    // The four rounds of RFC 1321, written out so that every shift and constant
    // is an immediate.
#define NORVA_MD5_STEP(f, a, b, c, d, k, s, t) a = b + rotl(a + f(b, c, d) + x[k] + t, s)
#define NORVA_MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define NORVA_MD5_G(b, c, d) ((c) ^ ((d) & ((b) ^ (c))))
#define NORVA_MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define NORVA_MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))
    NORVA_MD5_STEP(NORVA_MD5_F, a, b, c, d, 0, 7, 0xd76aa478u);
    NORVA_MD5_STEP(NORVA_MD5_F, d, a, b, c, 1, 12, 0xe8c7b756u);
    NORVA_MD5_STEP(NORVA_MD5_F, c, d, a, b, 2, 17, 0x242070dbu);
    NORVA_MD5_STEP(NORVA_MD5_F, b, c, d, a, 3, 22, 0xc1bdceeeu);
    NORVA_MD5_STEP(NORVA_MD5_F, a, b, c, d, 4, 7, 0xf57c0fafu);
    NORVA_MD5_STEP(NORVA_MD5_F, d, a, b, c, 5, 12, 0x4787c62au);
    NORVA_MD5_STEP(NORVA_MD5_F, c, d, a, b, 6, 17, 0xa8304613u);
    NORVA_MD5_STEP(NORVA_MD5_F, b, c, d, a, 7, 22, 0xfd469501u);
    NORVA_MD5_STEP(NORVA_MD5_F, a, b, c, d, 8, 7, 0x698098d8u);
    NORVA_MD5_STEP(NORVA_MD5_F, d, a, b, c, 9, 12, 0x8b44f7afu);
    NORVA_MD5_STEP(NORVA_MD5_F, c, d, a, b, 10, 17, 0xffff5bb1u);
    NORVA_MD5_STEP(NORVA_MD5_F, b, c, d, a, 11, 22, 0x895cd7beu);
    NORVA_MD5_STEP(NORVA_MD5_F, a, b, c, d, 12, 7, 0x6b901122u);
    NORVA_MD5_STEP(NORVA_MD5_F, d, a, b, c, 13, 12, 0xfd987193u);
    NORVA_MD5_STEP(NORVA_MD5_F, c, d, a, b, 14, 17, 0xa679438eu);
    NORVA_MD5_STEP(NORVA_MD5_F, b, c, d, a, 15, 22, 0x49b40821u);

    NORVA_MD5_STEP(NORVA_MD5_G, a, b, c, d, 1, 5, 0xf61e2562u);
    NORVA_MD5_STEP(NORVA_MD5_G, d, a, b, c, 6, 9, 0xc040b340u);
    NORVA_MD5_STEP(NORVA_MD5_G, c, d, a, b, 11, 14, 0x265e5a51u);
    NORVA_MD5_STEP(NORVA_MD5_G, b, c, d, a, 0, 20, 0xe9b6c7aau);
    NORVA_MD5_STEP(NORVA_MD5_G, a, b, c, d, 5, 5, 0xd62f105du);
    NORVA_MD5_STEP(NORVA_MD5_G, d, a, b, c, 10, 9, 0x02441453u);
    NORVA_MD5_STEP(NORVA_MD5_G, c, d, a, b, 15, 14, 0xd8a1e681u);
    NORVA_MD5_STEP(NORVA_MD5_G, b, c, d, a, 4, 20, 0xe7d3fbc8u);
    NORVA_MD5_STEP(NORVA_MD5_G, a, b, c, d, 9, 5, 0x21e1cde6u);
    NORVA_MD5_STEP(NORVA_MD5_G, d, a, b, c, 14, 9, 0xc33707d6u);
    NORVA_MD5_STEP(NORVA_MD5_G, c, d, a, b, 3, 14, 0xf4d50d87u);
    NORVA_MD5_STEP(NORVA_MD5_G, b, c, d, a, 8, 20, 0x455a14edu);
    NORVA_MD5_STEP(NORVA_MD5_G, a, b, c, d, 13, 5, 0xa9e3e905u);
    NORVA_MD5_STEP(NORVA_MD5_G, d, a, b, c, 2, 9, 0xfcefa3f8u);
    NORVA_MD5_STEP(NORVA_MD5_G, c, d, a, b, 7, 14, 0x676f02d9u);
    NORVA_MD5_STEP(NORVA_MD5_G, b, c, d, a, 12, 20, 0x8d2a4c8au);

    NORVA_MD5_STEP(NORVA_MD5_H, a, b, c, d, 5, 4, 0xfffa3942u);
    NORVA_MD5_STEP(NORVA_MD5_H, d, a, b, c, 8, 11, 0x8771f681u);
    NORVA_MD5_STEP(NORVA_MD5_H, c, d, a, b, 11, 16, 0x6d9d6122u);
    NORVA_MD5_STEP(NORVA_MD5_H, b, c, d, a, 14, 23, 0xfde5380cu);
    NORVA_MD5_STEP(NORVA_MD5_H, a, b, c, d, 1, 4, 0xa4beea44u);
    NORVA_MD5_STEP(NORVA_MD5_H, d, a, b, c, 4, 11, 0x4bdecfa9u);
    NORVA_MD5_STEP(NORVA_MD5_H, c, d, a, b, 7, 16, 0xf6bb4b60u);
    NORVA_MD5_STEP(NORVA_MD5_H, b, c, d, a, 10, 23, 0xbebfbc70u);
    NORVA_MD5_STEP(NORVA_MD5_H, a, b, c, d, 13, 4, 0x289b7ec6u);
    NORVA_MD5_STEP(NORVA_MD5_H, d, a, b, c, 0, 11, 0xeaa127fau);
    NORVA_MD5_STEP(NORVA_MD5_H, c, d, a, b, 3, 16, 0xd4ef3085u);
    NORVA_MD5_STEP(NORVA_MD5_H, b, c, d, a, 6, 23, 0x04881d05u);
    NORVA_MD5_STEP(NORVA_MD5_H, a, b, c, d, 9, 4, 0xd9d4d039u);
    NORVA_MD5_STEP(NORVA_MD5_H, d, a, b, c, 12, 11, 0xe6db99e5u);
    NORVA_MD5_STEP(NORVA_MD5_H, c, d, a, b, 15, 16, 0x1fa27cf8u);
    NORVA_MD5_STEP(NORVA_MD5_H, b, c, d, a, 2, 23, 0xc4ac5665u);

    NORVA_MD5_STEP(NORVA_MD5_I, a, b, c, d, 0, 6, 0xf4292244u);
    NORVA_MD5_STEP(NORVA_MD5_I, d, a, b, c, 7, 10, 0x432aff97u);
    NORVA_MD5_STEP(NORVA_MD5_I, c, d, a, b, 14, 15, 0xab9423a7u);
    NORVA_MD5_STEP(NORVA_MD5_I, b, c, d, a, 5, 21, 0xfc93a039u);
    NORVA_MD5_STEP(NORVA_MD5_I, a, b, c, d, 12, 6, 0x655b59c3u);
    NORVA_MD5_STEP(NORVA_MD5_I, d, a, b, c, 3, 10, 0x8f0ccc92u);
    NORVA_MD5_STEP(NORVA_MD5_I, c, d, a, b, 10, 15, 0xffeff47du);
    NORVA_MD5_STEP(NORVA_MD5_I, b, c, d, a, 1, 21, 0x85845dd1u);
    NORVA_MD5_STEP(NORVA_MD5_I, a, b, c, d, 8, 6, 0x6fa87e4fu);
    NORVA_MD5_STEP(NORVA_MD5_I, d, a, b, c, 15, 10, 0xfe2ce6e0u);
    NORVA_MD5_STEP(NORVA_MD5_I, c, d, a, b, 6, 15, 0xa3014314u);
    NORVA_MD5_STEP(NORVA_MD5_I, b, c, d, a, 13, 21, 0x4e0811a1u);
    NORVA_MD5_STEP(NORVA_MD5_I, a, b, c, d, 4, 6, 0xf7537e82u);
    NORVA_MD5_STEP(NORVA_MD5_I, d, a, b, c, 11, 10, 0xbd3af235u);
    NORVA_MD5_STEP(NORVA_MD5_I, c, d, a, b, 2, 15, 0x2ad7d2bbu);
    NORVA_MD5_STEP(NORVA_MD5_I, b, c, d, a, 9, 21, 0xeb86d391u);
#undef NORVA_MD5_STEP
#undef NORVA_MD5_F
#undef NORVA_MD5_G
#undef NORVA_MD5_H
#undef NORVA_MD5_I

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void md5_t::update(const std::uint8_t* data, std::size_t size) noexcept
{
    if (size == 0)
        return;
    length_ += size;
    if (buffered_ != 0) {
        const std::size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        size -= take;
        if (buffered_ < 64)
            return;
        block(buffer_);
        buffered_ = 0;
    }
    for (; size >= 64; data += 64, size -= 64)
        block(data);
    if (size != 0) {
        std::memcpy(buffer_, data, size);
        buffered_ = size;
    }
}

std::array<std::uint8_t, 16> md5_t::finish() noexcept
{
    const std::uint64_t bits = length_ * 8;
    // A 1 bit, zeros up to 56 bytes into a block, then the bit length.
    buffer_[buffered_++] = 0x80;
    if (buffered_ > 56) {
        std::memset(buffer_ + buffered_, 0, 64 - buffered_);
        block(buffer_);
        buffered_ = 0;
    }
    std::memset(buffer_ + buffered_, 0, 56 - buffered_);
    for (int i = 0; i < 8; ++i)
        buffer_[56 + i] = std::uint8_t(bits >> (8 * i));
    block(buffer_);

    std::array<std::uint8_t, 16> digest;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = std::uint8_t(state_[i] >> (8 * j));
    return digest;
}

void md5_many(std::span<const md5_message_t> messages, std::span<std::array<std::uint8_t, 16>> digests) noexcept
{
    for (std::size_t i = 0; i < messages.size(); ++i) {
        md5_t md5;
        md5.update(messages[i].first.data(), messages[i].first.size());
        md5.update(messages[i].second.data(), messages[i].second.size());
        digests[i] = md5.finish();
    }
}

} // namespace nv::nvs::index
