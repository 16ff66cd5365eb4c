// Batches of lookup keys: each key that fits one MD5 block takes one lane of an
// interleaved or a vector kernel, the rest go through the one-message digest.
#include "nvs/index/md5.h"

#include "nvs/index/md5_lanes.h"

#include <cstring>

namespace nv::nvs::index {

namespace {

using digest_t = std::array<std::uint8_t, 16>;

// The longest message whose padding (0x80 and the 8-byte bit length) still
// fits its first block.
constexpr std::size_t one_block_max = 55;

digest_t md5_one(const md5_message_t& message) noexcept
{
    md5_t md5;
    md5.update(message.first.data(), message.first.size());
    md5.update(message.second.data(), message.second.size());
    return md5.finish();
}

using block_kernel_t = void (*)(const std::uint8_t*, std::uint32_t*) noexcept;

// The padded 64-byte block of a message of at most one_block_max bytes.
void pad(const md5_message_t& message, std::uint8_t* block) noexcept
{
    const std::size_t first = message.first.size(), size = first + message.second.size();
    std::memset(block, 0, 64);
    // memcpy wants a valid pointer even for no bytes; an empty span may have none.
    if (first != 0)
        std::memcpy(block, message.first.data(), first);
    if (size != first)
        std::memcpy(block + first, message.second.data(), size - first);
    block[size] = 0x80;
    const std::uint64_t bits = std::uint64_t(size) * 8;
    for (int i = 0; i < 8; ++i)
        block[56 + i] = std::uint8_t(bits >> (8 * i));
}

template <std::size_t lanes>
void unpack(const std::uint32_t* state, std::span<digest_t> digests, const std::size_t* which,
            std::size_t count) noexcept
{
    for (std::size_t lane = 0; lane < count; ++lane) {
        digest_t& digest = digests[which[lane]];
        for (std::size_t i = 0; i < 4; ++i)
            for (std::size_t j = 0; j < 4; ++j)
                digest[4 * i + j] = std::uint8_t(state[i * lanes + lane] >> (8 * j));
    }
}

// The interleaved kernels read each lane's block as it is, with no words to
// shuffle into place: for two messages, that shuffling took a sixth of the time.
template <std::size_t lanes>
void run_blocks(block_kernel_t kernel, std::span<const md5_message_t> messages, std::span<digest_t> digests,
                const std::size_t* which, std::size_t count) noexcept
{
    alignas(64) std::uint8_t blocks[64 * lanes];
    alignas(64) std::uint32_t state[4 * lanes];
    for (std::size_t lane = 0; lane < count; ++lane)
        pad(messages[which[lane]], blocks + 64 * lane);
    // Idle lanes hash zeros rather than whatever the stack held.
    if (count < lanes)
        std::memset(blocks + 64 * count, 0, 64 * (lanes - count));
    kernel(blocks, state);
    unpack<lanes>(state, digests, which, count);
}

#if defined(__x86_64__)

using kernel_t = void (*)(const std::uint32_t*, std::uint32_t*) noexcept;

std::uint32_t load_le32(const std::uint8_t* p) noexcept
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// The padded block of a message, as lane `lane` of `lanes` word-major.
void pack(const md5_message_t& message, std::uint32_t* words, std::size_t lanes, std::size_t lane) noexcept
{
    std::uint8_t block[64];
    pad(message, block);
    for (std::size_t k = 0; k < 16; ++k)
        words[k * lanes + lane] = load_le32(block + 4 * k);
}

// Hashes the `count` messages at `which` (count <= lanes) in one kernel call.
template <std::size_t lanes>
void run_kernel(kernel_t kernel, std::span<const md5_message_t> messages, std::span<digest_t> digests,
                const std::size_t* which, std::size_t count) noexcept
{
    // Idle lanes hash zeros rather than whatever the stack held.
    alignas(64) std::uint32_t words[16 * lanes] = {};
    alignas(64) std::uint32_t state[4 * lanes];
    for (std::size_t lane = 0; lane < count; ++lane)
        pack(messages[which[lane]], words, lanes, lane);
    kernel(words, state);
    unpack<lanes>(state, digests, which, count);
}

#endif

// The messages of one batch: a vector kernel takes as many as its lanes at
// the same cost as a few; the interleaved kernels take two or three at a time,
// each call about as fast as one message alone. Where one passes the other was
// measured (bench/md5_bench.cpp) on a processor whose vector operations take
// longer than integer ones: a 16-lane AVX-512 call costs about as much as six
// messages interleaved, an 8-lane AVX2 one as seven, and a 4-lane SSE2 one
// more than four (so md5_best_way never takes SSE2).
struct way_plan_t {
    std::size_t widest;     // most messages of one kernel call
    std::size_t vector_min; // fewest messages worth a vector kernel
};

way_plan_t plan_of(md5_way_t way) noexcept
{
    switch (way) {
    case md5_way_t::avx512:
        return {16, 6};
    case md5_way_t::avx2:
        return {8, 7};
    case md5_way_t::sse2:
        return {4, 4};
    default:
        return {3, 4};
    }
}

void run_interleaved(std::span<const md5_message_t> messages, std::span<digest_t> digests, const std::size_t* which,
                     std::size_t count) noexcept
{
    while (count != 0) {
        // Four go as two and two rather than three and one.
        if (count == 2 || count == 4) {
            run_blocks<2>(lanes::md5_block_x2_scalar, messages, digests, which, 2);
            which += 2;
            count -= 2;
        } else if (count == 1) {
            run_blocks<2>(lanes::md5_block_x2_scalar, messages, digests, which, 1);
            return;
        } else {
            run_blocks<3>(lanes::md5_block_x3_scalar, messages, digests, which, 3);
            which += 3;
            count -= 3;
        }
    }
}

// One vector kernel call for `count` messages: the narrowest kernel of the
// way that takes them all.
void run_lanes(md5_way_t way, std::span<const md5_message_t> messages, std::span<digest_t> digests,
               const std::size_t* which, std::size_t count) noexcept
{
    if (count < plan_of(way).vector_min) {
        run_interleaved(messages, digests, which, count);
        return;
    }
#if defined(__x86_64__)
    if (way == md5_way_t::avx512) {
        if (count > 8)
            run_kernel<16>(lanes::md5_block_x16_avx512, messages, digests, which, count);
        else if (count > 4)
            run_kernel<8>(lanes::md5_block_x8_avx512, messages, digests, which, count);
        else
            run_kernel<4>(lanes::md5_block_x4_avx512, messages, digests, which, count);
        return;
    }
    if (way == md5_way_t::avx2 && count > 4) {
        run_kernel<8>(lanes::md5_block_x8_avx2, messages, digests, which, count);
        return;
    }
    if (way != md5_way_t::interleaved) {
        run_kernel<4>(lanes::md5_block_x4_sse2, messages, digests, which, count);
        return;
    }
#endif
    run_interleaved(messages, digests, which, count);
}

} // namespace

bool md5_way_available(md5_way_t way) noexcept
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (way) {
    case md5_way_t::one_by_one:
    case md5_way_t::interleaved:
    case md5_way_t::sse2:
        return true;
    case md5_way_t::avx2:
        return __builtin_cpu_supports("avx2");
    case md5_way_t::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    }
    return false;
#else
    return way == md5_way_t::one_by_one || way == md5_way_t::interleaved;
#endif
}

md5_way_t md5_best_way() noexcept
{
    static const md5_way_t best = [] {
        for (const auto way : {md5_way_t::avx512, md5_way_t::avx2})
            if (md5_way_available(way))
                return way;
        return md5_way_t::interleaved;
    }();
    return best;
}

const char* md5_way_name(md5_way_t way) noexcept
{
    switch (way) {
    case md5_way_t::one_by_one:
        return "one_by_one";
    case md5_way_t::interleaved:
        return "interleaved";
    case md5_way_t::sse2:
        return "sse2";
    case md5_way_t::avx2:
        return "avx2";
    case md5_way_t::avx512:
        return "avx512";
    }
    return "unknown";
}

void md5_many(md5_way_t way, std::span<const md5_message_t> messages, std::span<digest_t> digests) noexcept
{
    if (way == md5_way_t::one_by_one) {
        for (std::size_t i = 0; i < messages.size(); ++i)
            digests[i] = md5_one(messages[i]);
        return;
    }
    const std::size_t widest = plan_of(way).widest;
    std::size_t pending[16];
    std::size_t count = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].first.size() + messages[i].second.size() > one_block_max) {
            digests[i] = md5_one(messages[i]);
            continue;
        }
        pending[count++] = i;
        if (count == widest) {
            run_lanes(way, messages, digests, pending, count);
            count = 0;
        }
    }
    if (count != 0)
        run_lanes(way, messages, digests, pending, count);
}

void md5_many(std::span<const md5_message_t> messages, std::span<digest_t> digests) noexcept
{
    md5_many(md5_best_way(), messages, digests);
}

} // namespace nv::nvs::index
