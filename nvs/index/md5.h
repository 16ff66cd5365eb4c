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
// digests.size() must equal messages.size(). Messages that fit one block (up
// to 55 bytes) are hashed several at a time, one per SIMD lane, so a batch of
// them costs little more than one; longer ones are hashed one by one.
void md5_many(std::span<const md5_message_t> messages, std::span<std::array<std::uint8_t, 16>> digests) noexcept;

// The ways md5_many can hash. one_by_one runs the one-message digest for each;
// interleaved runs two or three messages side by side in integer code, on any
// processor; the x86-64 vector ways hash larger batches 4, 8 or 16 at a time,
// one per lane, and the rest interleaved. md5_many takes the best way this
// processor offers; tests and benchmarks name the way to compare them.
enum class md5_way_t : std::uint8_t { one_by_one, interleaved, sse2, avx2, avx512 };

// Whether this build and this processor can hash the given way.
bool md5_way_available(md5_way_t way) noexcept;
// The way md5_many takes.
md5_way_t md5_best_way() noexcept;
const char* md5_way_name(md5_way_t way) noexcept;
// md5_many the given way, which must be available.
void md5_many(md5_way_t way, std::span<const md5_message_t> messages,
              std::span<std::array<std::uint8_t, 16>> digests) noexcept;

} // namespace nv::nvs::index
