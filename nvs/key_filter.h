#pragma once
// A filter over the MD5 keys of the loaded databases: it tells for certain that
// no database holds a key, so that a URL found nowhere costs its few digests
// and a probe per digest instead of a binary search per database and key.

#include "nvs/file_set.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace nv::nvs {

// Blocked Bloom filter over 16-byte MD5 keys. A key sets one bit in each of
// the eight words of one 64-byte block, so a probe reads a single cache line
// and its eight tests (like the eight writes of an insertion) do not depend
// on each other. The keys are digests already, evenly spread: the block and
// the bits come straight from their bytes, with no further hashing. The block follows the key's leading bytes
// in their order, so that the sorted keys of a run fill the filter from front
// to back. Immutable once built; any number of threads may probe it.
class key_filter_t {
public:
    static constexpr std::size_t bits_per_key = 12;
    static constexpr unsigned bits_set_per_key = 8; // one per word of a block

    // A filter that holds nothing (every probe says "absent").
    key_filter_t() = default;

    // Room for `expected_keys` keys at bits_per_key bits each; more keys may be
    // added, at a higher false positive rate.
    explicit key_filter_t(std::size_t expected_keys);

    // Runs the first job on a second thread and the second one on the calling
    // thread, and returns once both are done.
    using run_beside_t = std::function<void(const std::function<void()>&, const std::function<void()>&)>;

    // Every key that a lookup searches for with a binary search: the keys of
    // IPv6 addresses (type 3), the host/path and address keys of types 4 and 5
    // (unreachable runs included) and the IPv6 prefix keys of type 7. With
    // `run_beside`, two threads fill one half of the blocks each.
    static key_filter_t of_files(const file_set_t& files, const run_beside_t& run_beside = {});

    // The number of such keys in one database.
    static std::size_t key_count(const file_t& file) noexcept;

    // Keys `stride` bytes apart, in order unless their file is damaged.
    struct key_run_t {
        const std::uint8_t* keys;
        std::size_t count;
        std::size_t stride;
    };
    // The keys of_files takes in, as sorted runs: a half of the filter then
    // lies on one side of each run.
    static std::vector<key_run_t> runs_of(const file_set_t& files);

    void add(const std::uint8_t* key);
    // `count` keys of 16 bytes, `stride` bytes apart.
    void add_run(const std::uint8_t* first, std::size_t count, std::size_t stride);

    // False only when the key was never added.
    bool may_hold(const std::uint8_t* key) const noexcept;
    bool may_hold(std::span<const std::uint8_t, 16> key) const noexcept { return may_hold(key.data()); }

    std::size_t key_count() const noexcept { return keys_; }
    std::size_t bytes() const noexcept { return blocks_.size() * sizeof(block_t); }

private:
    struct alignas(64) block_t {
        std::array<std::uint64_t, 8> words{};
    };

    // Zeroed blocks in pages of their own, all mapped by one system call:
    // zeroing fresh heap pages instead faults once per page, which costs
    // more than the filling of the filter on a virtual machine.
    class storage_t {
    public:
        storage_t() = default;
        // Raises std::bad_alloc when the pages cannot be had.
        explicit storage_t(std::size_t count);
        storage_t(storage_t&& other) noexcept;
        storage_t& operator=(storage_t&& other) noexcept;
        ~storage_t();

        std::size_t size() const noexcept { return count_; }
        bool empty() const noexcept { return count_ == 0; }
        block_t& operator[](std::size_t i) noexcept { return blocks_[i]; }
        const block_t& operator[](std::size_t i) const noexcept { return blocks_[i]; }

    private:
        block_t* blocks_ = nullptr;
        std::size_t count_ = 0;
        std::size_t bytes_ = 0; // of the mapping
    };

    std::size_t block_of(const std::uint8_t* key) const noexcept;
    // add() once there is at least one block.
    void insert(const std::uint8_t* key, std::size_t block) noexcept;
    struct added_t {
        std::size_t keys = 0;
        std::size_t strays = 0; // on the other half's side of their run
    };
    // Every key of the runs.
    std::size_t add_runs(std::span<const key_run_t> runs) noexcept;
    // The keys of the runs whose blocks lie in the lower or the upper half.
    added_t add_half(std::span<const key_run_t> runs, bool upper) noexcept;
    // The keys add_half left to no one, in runs out of order.
    std::size_t add_strays(std::span<const key_run_t> runs) noexcept;
    // The number of leading keys of a sorted run whose blocks lie below `block`.
    std::size_t split_of(const std::uint8_t* keys, std::size_t count, std::size_t stride,
                         std::size_t block) const noexcept;

    storage_t blocks_;
    std::size_t keys_ = 0;
};

} // namespace nv::nvs
