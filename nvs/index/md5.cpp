#include "nvs/index/md5.h"

#include "nvs/index/md5_rounds.h"

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

#define NORVA_MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define NORVA_MD5_G(b, c, d) ((c) ^ ((d) & ((b) ^ (c))))
#define NORVA_MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define NORVA_MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))
#define NORVA_MD5_STEP(f, a, b, c, d, k, s, t) a = b + rotl(a + NORVA_MD5_##f(b, c, d) + x[k] + t, s);
    NORVA_MD5_ROUNDS(NORVA_MD5_STEP)
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

} // namespace nv::nvs::index
