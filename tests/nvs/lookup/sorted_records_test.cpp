// The interpolating key search gives exactly the plain binary search's answer,
// on evenly spread digests and on data that defeats interpolation.
#include "nvs/index/sorted_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

namespace nv::nvs::index {
namespace {

using key_t = std::array<std::uint8_t, 16>;

struct shape_t {
    const char* what;
    std::size_t stride, field;
    // Makes key i of n.
    key_t (*make)(std::mt19937_64&, std::size_t i, std::size_t n);
};

key_t random_key(std::mt19937_64& rng, std::size_t, std::size_t)
{
    key_t k;
    for (auto& b : k)
        b = std::uint8_t(rng());
    return k;
}

// Few distinct values: long runs of equal keys.
key_t duplicates(std::mt19937_64& rng, std::size_t, std::size_t)
{
    key_t k{};
    k[0] = std::uint8_t(rng() % 4 * 60);
    k[15] = std::uint8_t(rng() % 2);
    return k;
}

// Equal first 8 bytes: the interpolated prefix tells nothing.
key_t same_prefix(std::mt19937_64& rng, std::size_t, std::size_t)
{
    key_t k;
    k.fill(0xAB);
    for (std::size_t b = 8; b < 16; ++b)
        k[b] = std::uint8_t(rng());
    return k;
}

// Nearly all keys in one corner, a few far away: interpolation guesses badly.
key_t skewed(std::mt19937_64& rng, std::size_t i, std::size_t n)
{
    key_t k = random_key(rng, i, n);
    if (i + 2 < n)
        k[0] = k[1] = 0;
    else
        k[0] = 0xFF;
    return k;
}

TEST(SortedRecords, InterpolatedSearchEqualsBinarySearch)
{
    const shape_t shapes[] = {
        {"random, bare keys", 16, 0, random_key},
        {"random, type 4 records", 19, 3, random_key},
        {"duplicates, type 5 records", 27, 3, duplicates},
        {"same prefix", 16, 0, same_prefix},
        {"skewed", 19, 3, skewed},
    };
    std::mt19937_64 rng(12345);
    for (const auto& shape : shapes) {
        for (const std::size_t n : {0, 1, 2, 7, 9, 33, 1000, 20000}) {
            SCOPED_TRACE(testing::Message() << shape.what << ", " << n << " keys");
            std::vector<key_t> keys;
            for (std::size_t i = 0; i < n; ++i)
                keys.push_back(shape.make(rng, i, n));
            std::sort(keys.begin(), keys.end());
            std::vector<std::uint8_t> records(n * shape.stride, 0x5A);
            for (std::size_t i = 0; i < n; ++i)
                std::copy(keys[i].begin(), keys[i].end(), records.begin() + std::ptrdiff_t(i * shape.stride + shape.field));

            std::vector<key_t> queries = keys;
            for (int q = 0; q < 300; ++q) {
                queries.push_back(random_key(rng, 0, 0));
                queries.push_back(shape.make(rng, rng() % (n + 1), n + 1));
            }
            key_t low{}, high;
            high.fill(0xFF);
            queries.push_back(low);
            queries.push_back(high);
            for (const auto& query : queries) {
                const auto expected = lower_bound_bytes(records.data(), std::uint32_t(n), shape.stride, shape.field,
                                                        query.data(), query.size());
                const auto got = lower_bound_key(records.data(), std::uint32_t(n), shape.stride, shape.field,
                                                 query.data());
                ASSERT_EQ(got, expected);
            }
        }
    }
}

} // namespace
} // namespace nv::nvs::index
