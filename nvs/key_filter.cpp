#include "nvs/key_filter.h"

#include "nvs/file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>

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

constexpr unsigned bits_per_position = 6; // a bit of a 64-bit word

// The bit a key sets in word W of its block.
template <unsigned W>
std::uint64_t bit_in_word(std::uint64_t bits) noexcept
{
    return std::uint64_t(1) << (bits >> (bits_per_position * W) & 63);
}

// Spelled out word by word, so that every shift is by a constant.
template <unsigned... W>
void set_bits(std::array<std::uint64_t, 8>& words, std::uint64_t bits, std::integer_sequence<unsigned, W...>) noexcept
{
    ((words[W] |= bit_in_word<W>(bits)), ...);
}

template <unsigned... W>
bool all_set(const std::array<std::uint64_t, 8>& words, std::uint64_t bits,
             std::integer_sequence<unsigned, W...>) noexcept
{
    return ((bit_in_word<W>(bits) & ~words[W]) | ...) == 0;
}

using every_word = std::make_integer_sequence<unsigned, 8>;

// The 8 leading bytes as a number in their own order (big-endian), so that
// keys sorted bytewise have ascending blocks.
std::uint64_t leading(const std::uint8_t* key) noexcept { return __builtin_bswap64(load64(key)); }

constexpr std::size_t key_field = 3; // of the records of types 4 and 5

// The host/path records of a section as runs of keys: the runs a lookup
// searches, each sorted, and whatever lies between them (later runs of a
// (level, depth) pair seen before, which no lookup reaches) as it stands.
void add_section_runs(std::vector<key_filter_t::key_run_t>& out, const std::uint8_t* data, const index::url_t& reader)
{
    const std::size_t stride = reader.record_size();
    std::vector<index::url_t::run_t> runs;
    runs.reserve(reader.runs().size());
    for (const auto& keyed : reader.runs())
        runs.push_back(keyed.run);
    std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::uint8_t* at = data;
    const std::uint8_t* const end = data + std::size_t(reader.size()) * stride;
    const auto add = [&](const std::uint8_t* first, const std::uint8_t* last) {
        if (first < last)
            out.push_back({first + key_field, std::size_t(last - first) / stride, stride});
    };
    for (const auto& run : runs) {
        const std::uint8_t* first = std::max(run.first, at);
        const std::uint8_t* last = std::min(run.first + std::size_t(run.count) * stride, end);
        if (first >= last)
            continue;
        add(at, first);
        add(first, last);
        at = last;
    }
    add(at, end);
}

} // namespace

key_filter_t::storage_t::storage_t(std::size_t count) : count_(count)
{
    if (count == 0)
        return;
    const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    if (count > (std::size_t(-1) - page) / sizeof(block_t))
        throw std::bad_alloc();
    bytes_ = (count * sizeof(block_t) + page - 1) / page * page;
    void* address = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (address == MAP_FAILED)
        throw std::bad_alloc();
    blocks_ = static_cast<block_t*>(address);
}

key_filter_t::storage_t::storage_t(storage_t&& other) noexcept
    : blocks_(std::exchange(other.blocks_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      bytes_(std::exchange(other.bytes_, 0))
{
}

key_filter_t::storage_t& key_filter_t::storage_t::operator=(storage_t&& other) noexcept
{
    if (this == &other)
        return *this;
    storage_t gone(std::move(*this));
    blocks_ = std::exchange(other.blocks_, nullptr);
    count_ = std::exchange(other.count_, 0);
    bytes_ = std::exchange(other.bytes_, 0);
    return *this;
}

key_filter_t::storage_t::~storage_t()
{
    if (blocks_)
        ::munmap(blocks_, bytes_);
}

key_filter_t::key_filter_t(std::size_t expected_keys)
    : blocks_((expected_keys * bits_per_key + 511) / 512)
{
}

std::size_t key_filter_t::block_of(const std::uint8_t* key) const noexcept
{
    // The leading 8 bytes scaled onto the block count: uniform without a division.
    return std::size_t((unsigned __int128)leading(key) * blocks_.size() >> 64);
}

void key_filter_t::add(const std::uint8_t* key)
{
    if (blocks_.empty())
        blocks_ = storage_t(1);
    insert(key, block_of(key));
    ++keys_;
}

void key_filter_t::insert(const std::uint8_t* key, std::size_t block) noexcept
{
    // One bit in every word: the writes are independent of each other.
    set_bits(blocks_[block].words, load64(key + 8), every_word{});
}

void key_filter_t::add_run(const std::uint8_t* first, std::size_t count, std::size_t stride)
{
    if (count == 0)
        return;
    if (blocks_.empty())
        blocks_ = storage_t(1);
    // The keys stream in order from the mapping while their blocks are spread
    // over the whole filter: fetch each block well before it is written.
    for (std::size_t i = 0; i < count; ++i) {
        if (i + prefetch_distance < count)
            __builtin_prefetch(&blocks_[block_of(first + (i + prefetch_distance) * stride)], 1);
        const std::uint8_t* key = first + i * stride;
        insert(key, block_of(key));
    }
    keys_ += count;
}

std::vector<key_filter_t::key_run_t> key_filter_t::runs_of(const file_set_t& files)
{
    std::vector<key_run_t> out;
    for (const auto& file : files) {
        const auto& hashes = file->ipv6_hashes();
        if (hashes.size() != 0)
            out.push_back({hashes.data(), hashes.size(), hashes.record_size});
        for (const auto type : {index::content_t::type_t::urls, index::content_t::type_t::urls_with_params}) {
            const auto section = file->content().section(type);
            const auto& reader = type == index::content_t::type_t::urls ? file->urls() : file->urls_with_params();
            if (section && reader.size() != 0)
                add_section_runs(out, section->data, reader);
        }
        for (const auto& group : file->ipv6_networks().groups())
            out.push_back({group.keys, group.count, 16});
    }
    return out;
}

std::size_t key_filter_t::split_of(const std::uint8_t* keys, std::size_t count, std::size_t stride,
                                   std::size_t block) const noexcept
{
    std::size_t low = 0, high = count;
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (block_of(keys + mid * stride) < block)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

key_filter_t::added_t key_filter_t::add_half(std::span<const key_run_t> runs, bool upper) noexcept
{
    const std::size_t half = blocks_.size() / 2;
    added_t added;
    // A run is sorted, so the keys whose blocks lie in one half form one side
    // of it: each thread reads only its side. A key on the wrong side (a run
    // out of order) is left to add_strays.
    for (const auto& [keys, count, stride] : runs) {
        const std::size_t split = split_of(keys, count, stride, half);
        const std::size_t begin = upper ? split : 0, end = upper ? count : split;
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint8_t* key = keys + i * stride;
            const std::size_t block = block_of(key);
            if ((block >= half) == upper) {
                insert(key, block);
                ++added.keys;
            } else {
                ++added.strays;
            }
        }
    }
    return added;
}

std::size_t key_filter_t::add_strays(std::span<const key_run_t> runs) noexcept
{
    const std::size_t half = blocks_.size() / 2;
    std::size_t added = 0;
    for (const auto& [keys, count, stride] : runs) {
        const std::size_t split = split_of(keys, count, stride, half);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* key = keys + i * stride;
            const std::size_t block = block_of(key);
            if ((block >= half) != (i >= split)) {
                insert(key, block);
                ++added;
            }
        }
    }
    return added;
}

std::size_t key_filter_t::add_runs(std::span<const key_run_t> runs) noexcept
{
    std::size_t added = 0;
    for (const auto& [keys, count, stride] : runs) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* key = keys + i * stride;
            insert(key, block_of(key));
        }
        added += count;
    }
    return added;
}

bool key_filter_t::may_hold(const std::uint8_t* key) const noexcept
{
    if (blocks_.empty())
        return false;
    return all_set(blocks_[block_of(key)].words, load64(key + 8), every_word{});
}

std::size_t key_filter_t::key_count(const file_t& file) noexcept
{
    std::size_t n = std::size_t(file.ipv6_hashes().size()) + file.urls().size() + file.urls_with_params().size();
    for (const auto& group : file.ipv6_networks().groups())
        n += group.count;
    return n;
}

key_filter_t key_filter_t::of_files(const file_set_t& files, const run_beside_t& run_beside)
{
    std::size_t total = 0;
    for (const auto& file : files)
        total += key_count(*file);
    key_filter_t filter(total);
    const std::size_t blocks = filter.blocks_.size();
    if (total == 0)
        return filter;
    const auto runs = runs_of(files);
    // Split by blocks, the two halves never write the same memory.
    if (run_beside && blocks > 1) {
        added_t lower, upper;
        run_beside([&] { upper = filter.add_half(runs, true); }, [&] { lower = filter.add_half(runs, false); });
        filter.keys_ = lower.keys + upper.keys;
        if (lower.strays + upper.strays != 0)
            filter.keys_ += filter.add_strays(runs);
    } else {
        filter.keys_ = filter.add_runs(runs);
    }
    return filter;
}

} // namespace nv::nvs
