// The key filter: never "absent" for a key it was given, a false positive rate
// within what its size promises, nothing held when empty, and every searched
// key of a database taken in.
#include "nvs/file.h"
#include "nvs/key_filter.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace nv::nvs {
namespace {

using index::md5_key_t;
using index::md5_of;

std::vector<md5_key_t> random_keys(std::size_t n, std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<md5_key_t> keys(n);
    for (auto& key : keys)
        for (std::size_t i = 0; i < key.size(); i += 8) {
            const std::uint64_t v = rng();
            std::memcpy(key.data() + i, &v, 8);
        }
    return keys;
}

// The false positive rate of a blocked Bloom filter that sets one bit in each
// of the block's `words` words of `word_bits` bits: keys fall into blocks by a
// Poisson law, and a block holding n keys answers "present" for a foreign key
// with the probability that its bit is set in every word.
double expected_false_positive_rate(double keys_per_block, unsigned words, unsigned word_bits)
{
    double rate = 0, p = std::exp(-keys_per_block); // P(n = 0)
    for (unsigned n = 0; n < 1000; ++n) {
        const double set = 1 - std::pow(1 - 1.0 / word_bits, double(n));
        rate += p * std::pow(set, words);
        p *= keys_per_block / (n + 1);
    }
    return rate;
}

TEST(KeyFilter, NoFalseNegativesAndTheExpectedFalsePositiveRate)
{
    const auto keys = random_keys(300'000, 1);
    key_filter_t filter(keys.size());
    for (const auto& key : keys)
        filter.add(key.data());
    EXPECT_EQ(filter.key_count(), keys.size());
    EXPECT_LT(double(filter.bytes()) / double(keys.size()), 2.0);

    std::size_t missed = 0;
    for (const auto& key : keys)
        missed += !filter.may_hold(key);
    EXPECT_EQ(missed, 0u);

    const auto others = random_keys(1'000'000, 2);
    std::size_t positives = 0;
    for (const auto& key : others)
        positives += filter.may_hold(key);
    const double measured = double(positives) / double(others.size());
    const double expected = expected_false_positive_rate(double(keys.size()) * 512 / (double(filter.bytes()) * 8),
                                                         key_filter_t::bits_set_per_key, 64);
    // About 0.5% at 12 bits per key and a bit in each of 8 words; the
    // measured rate over a million probes (some 5000 hits) lies within a few
    // per cent of it.
    EXPECT_LT(expected, 0.006);
    EXPECT_LT(measured, expected * 1.1) << "expected " << expected;
    EXPECT_GT(measured, expected * 0.9) << "expected " << expected;
}

TEST(KeyFilter, AddRunTakesEveryKeyAtItsStride)
{
    // Records of 19 bytes with the key at byte 3, as in the host/path sections.
    const auto keys = random_keys(5000, 3);
    std::vector<std::uint8_t> records(keys.size() * 19, 0xEE);
    for (std::size_t i = 0; i < keys.size(); ++i)
        std::memcpy(records.data() + i * 19 + 3, keys[i].data(), 16);
    key_filter_t filter(keys.size());
    filter.add_run(records.data() + 3, keys.size(), 19);
    EXPECT_EQ(filter.key_count(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        ASSERT_TRUE(filter.may_hold(keys[i])) << "key " << i;
}

TEST(KeyFilter, EmptyHoldsNothing)
{
    const auto keys = random_keys(1000, 4);
    const key_filter_t none;
    const key_filter_t sized_for_none(0);
    const auto of_no_files = key_filter_t::of_files({});
    for (const key_filter_t* filter : {&none, &sized_for_none, &of_no_files}) {
        EXPECT_EQ(filter->key_count(), 0u);
        EXPECT_EQ(filter->bytes(), 0u);
        for (const auto& key : keys)
            ASSERT_FALSE(filter->may_hold(key));
    }
    // Keys added beyond the expected count still count.
    key_filter_t grown(0);
    grown.add(keys[0].data());
    EXPECT_TRUE(grown.may_hold(keys[0]));
}

TEST(KeyFilter, HoldsEverySearchedKeyOfTheDatabases)
{
    test::temp_dir_t dir;
    const auto ipv6_hash = md5_of("ipv6 address");
    const auto prefix_a = md5_of("prefix a"), prefix_b = md5_of("prefix b");
    const auto with_params = md5_of("b.c/p");
    test::url_record_t param_record = test::host_record(2, 2, "b.c/p");
    param_record.lists = std::vector<std::vector<md5_key_t>>{{md5_of("q=1")}};
    const std::vector<test::url_record_t> urls = {
        test::host_record(2, 0, "b.c"), test::host_record(3, 4, "a.b.c/x/y"), test::host_record(0, 2, "/x"),
        test::key_record(255, 0, md5_of("\x0A\x01\x02\x03")),
        // A second run of an earlier (level, depth) pair is never searched;
        // taking it in costs nothing but a bit or two.
    };
    test::write_database(dir.file("a.nvs"), test::database_spec_t{}
                                                 .with_name("gamble")
                                                 .with_ipv6_hashes({ipv6_hash})
                                                 .with_ipv6_groups({{48, {prefix_a}}, {64, {prefix_b}}})
                                                 .with_urls(urls));
    test::write_database(dir.file("b.nvs"), test::database_spec_t{}.with_name("porno").with_urls({param_record}));
    file_set_t files{std::make_shared<const file_t>(dir.file("a.nvs")),
                     std::make_shared<const file_t>(dir.file("b.nvs"))};

    const auto filter = key_filter_t::of_files(files);
    EXPECT_EQ(filter.key_count(), 1u + 2u + urls.size() + 1u);
    std::vector<md5_key_t> held = {ipv6_hash, prefix_a, prefix_b, with_params};
    for (const auto& r : urls)
        held.push_back(r.key);
    for (const auto& key : held)
        EXPECT_TRUE(filter.may_hold(key));
    // Parameter keys are not searched by binary search; nor are patterns or
    // IPv4 records, which are no keys.
    std::size_t foreign = 0;
    for (const auto& key : random_keys(1000, 5))
        foreign += filter.may_hold(key);
    EXPECT_LT(foreign, 100u);
}

// Built by two threads, one half of the blocks each, the filter must take in
// the same keys as built by one: also those of a run out of order, which a
// thread finds on the other half's side.
TEST(KeyFilter, TwoThreadsTakeInEveryKeyOfSortedAndUnsortedRuns)
{
    test::temp_dir_t dir;
    const auto sorted_keys = random_keys(5000, 11);
    auto unsorted_keys = random_keys(3000, 12);
    test::write_database(dir.file("sorted.nvs"), test::database_spec_t{}.with_ipv6_hashes(sorted_keys));
    test::bytes_t section;
    for (const auto& key : unsorted_keys)
        section.insert(section.end(), key.begin(), key.end());
    test::write_file(dir.file("unsorted.nvs"), test::database({{3, section}}));

    const key_filter_t::run_beside_t two_threads = [](const std::function<void()>& theirs,
                                                      const std::function<void()>& mine) {
        std::thread thread(theirs);
        mine();
        thread.join();
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> sets = {
        {"sorted", {"sorted.nvs"}}, {"unsorted", {"unsorted.nvs"}}, {"both", {"sorted.nvs", "unsorted.nvs"}}};
    for (const auto& [what, names] : sets) {
        SCOPED_TRACE(what);
        file_set_t files;
        std::vector<md5_key_t> held;
        for (const auto& name : names) {
            files.insert(std::make_shared<const file_t>(dir.file(name)));
            const auto& keys = name == "sorted.nvs" ? sorted_keys : unsorted_keys;
            held.insert(held.end(), keys.begin(), keys.end());
        }
        const auto alone = key_filter_t::of_files(files);
        const auto beside = key_filter_t::of_files(files, two_threads);
        EXPECT_EQ(alone.key_count(), held.size());
        EXPECT_EQ(beside.key_count(), held.size());
        std::size_t missing = 0;
        for (const auto& key : held)
            missing += !beside.may_hold(key);
        EXPECT_EQ(missing, 0u);
        // The same bits, so the same answers for foreign keys as well.
        for (const auto& key : random_keys(20000, 13))
            ASSERT_EQ(beside.may_hold(key), alone.may_hold(key));
    }
}

// The runs the two halves are split on: every key of the section exactly
// once, each run in order, a later run of a pair seen before included.
TEST(KeyFilter, RunsCoverEverySectionRecordInSortedRuns)
{
    test::temp_dir_t dir;
    // Type 4 records: level, depth (2 bytes), key; pairs (2, 0), (3, 1), then
    // (2, 0) again, which no lookup reaches.
    const std::vector<std::pair<unsigned, unsigned>> pairs = {{2, 0}, {3, 1}, {2, 0}};
    test::bytes_t section;
    std::vector<md5_key_t> all;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        auto keys = random_keys(700 + 100 * p, 20 + p);
        std::sort(keys.begin(), keys.end());
        for (const auto& key : keys) {
            section.insert(section.end(), {std::uint8_t(pairs[p].first), 0, std::uint8_t(pairs[p].second)});
            section.insert(section.end(), key.begin(), key.end());
            all.push_back(key);
        }
    }
    test::write_file(dir.file("runs.nvs"), test::database({{4, section}}));
    const file_set_t files{std::make_shared<const file_t>(dir.file("runs.nvs"))};

    const auto runs = key_filter_t::runs_of(files);
    ASSERT_EQ(runs.size(), pairs.size());
    std::vector<md5_key_t> covered;
    for (const auto& run : runs)
        for (std::size_t i = 0; i < run.count; ++i) {
            md5_key_t key;
            std::memcpy(key.data(), run.keys + i * run.stride, key.size());
            if (i > 0) {
                EXPECT_LT(covered.back(), key) << "run out of order";
            }
            covered.push_back(key);
        }
    EXPECT_EQ(covered, all);
    EXPECT_EQ(key_filter_t::key_count(**files.begin()), all.size());
}

} // namespace
} // namespace nv::nvs
