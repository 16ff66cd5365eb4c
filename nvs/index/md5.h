#pragma once
// MD5 (RFC 1321) for the lookup keys: a check hashes a handful of short texts,
// each a single 64-byte block, where the set-up of a general digest interface
// (an allocated context per digest) would cost more than the digest itself.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nv::nvs::index {

// Incremental MD5 on the stack: no allocation, no library state.
class md5_t {
public:
    md5_t() noexcept = default;

    void update(const std::uint8_t* data, std::size_t size) noexcept;
    // The digest of everything given; the object is spent afterwards.
    std::array<std::uint8_t, 16> finish() noexcept;

private:
    void block(const std::uint8_t* p) noexcept;

    std::uint32_t state_[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    std::uint64_t length_ = 0; // bytes given so far
    std::uint8_t buffer_[64];
    std::size_t buffered_ = 0;
};

// One text to hash, in two pieces (a host suffix and a path prefix), so that
// callers need not join them first.
struct md5_message_t {
    std::span<const std::uint8_t> first, second; // hashed as first || second
};

// The digest of every message: digests[i] = MD5(messages[i].first || messages[i].second).
// digests.size() must equal messages.size(). A batch lets short messages share
// the rounds, several at a time.
void md5_many(std::span<const md5_message_t> messages, std::span<std::array<std::uint8_t, 16>> digests) noexcept;

} // namespace nv::nvs::index
