#include "nvs/key_filter.h"

#include "nvs/file.h"

#include <cstring>

namespace nv::nvs {

namespace {

std::uint64_t load64(const std::uint8_t* p) noexcept
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// How far ahead of the insertion the block of a key is fetched: enough to
// cover a memory round trip at a few nanoseconds per key.
constexpr std::size_t prefetch_distance = 16;

constexpr unsigned bits_per_position = 9; // a bit of a 512-bit block

} // namespace

key_filter_t::key_filter_t(std::size_t expected_keys)
    : blocks_((expected_keys * bits_per_key + 511) / 512)
{
}

std::size_t key_filter_t::block_of(const std::uint8_t* key) const noexcept
{
    // The first 8 bytes scaled onto the block count: uniform without a division.
    return std::size_t((unsigned __int128)load64(key) * blocks_.size() >> 64);
}

void key_filter_t::add(const std::uint8_t* key)
{
    if (blocks_.empty())
        blocks_.resize(1);
    insert(key);
}

void key_filter_t::insert(const std::uint8_t* key) noexcept
{
    auto& words = blocks_[block_of(key)].words;
    std::uint64_t bits = load64(key + 8);
    for (unsigned i = 0; i < bits_set_per_key; ++i, bits >>= bits_per_position) {
        const unsigned bit = unsigned(bits) & 511;
        words[bit >> 6] |= std::uint64_t(1) << (bit & 63);
    }
    ++keys_;
}

void key_filter_t::add_run(const std::uint8_t* first, std::size_t count, std::size_t stride)
{
    if (count == 0)
        return;
    if (blocks_.empty())
        blocks_.resize(1);
    // The keys stream in order from the mapping while their blocks are spread
    // over the whole filter: fetch each block well before it is written.
    for (std::size_t i = 0; i < count; ++i) {
        if (i + prefetch_distance < count)
            __builtin_prefetch(&blocks_[block_of(first + (i + prefetch_distance) * stride)], 1);
        insert(first + i * stride);
    }
}

bool key_filter_t::may_hold(const std::uint8_t* key) const noexcept
{
    if (blocks_.empty())
        return false;
    const auto& words = blocks_[block_of(key)].words;
    std::uint64_t bits = load64(key + 8);
    for (unsigned i = 0; i < bits_set_per_key; ++i, bits >>= bits_per_position) {
        const unsigned bit = unsigned(bits) & 511;
        if ((words[bit >> 6] >> (bit & 63) & 1) == 0)
            return false;
    }
    return true;
}

std::size_t key_filter_t::key_count(const file_t& file) noexcept
{
    std::size_t n = std::size_t(file.ipv6_hashes().size()) + file.urls().size() + file.urls_with_params().size();
    for (const auto& group : file.ipv6_networks().groups())
        n += group.count;
    return n;
}

key_filter_t key_filter_t::of_files(const file_set_t& files)
{
    std::size_t total = 0;
    for (const auto& file : files)
        total += key_count(*file);
    key_filter_t filter(total);
    constexpr std::size_t key_field = 3; // of the records of types 4 and 5
    for (const auto& file : files) {
        const auto& hashes = file->ipv6_hashes();
        filter.add_run(hashes.data(), hashes.size(), hashes.record_size);
        for (const auto type : {index::content_t::type_t::urls, index::content_t::type_t::urls_with_params}) {
            const auto section = file->content().section(type);
            const auto& reader = type == index::content_t::type_t::urls ? file->urls() : file->urls_with_params();
            if (section && reader.size() != 0)
                filter.add_run(section->data + key_field, reader.size(), reader.record_size());
        }
        for (const auto& group : file->ipv6_networks().groups())
            filter.add_run(group.keys, group.count, 16);
    }
    return filter;
}

} // namespace nv::nvs
