// Batched MD5 of the lookup keys, every way this processor offers (and the
// default one): every message of a batch gets the digest OpenSSL gives for it,
// whatever its length, its place in the batch and lane, its neighbours and the
// point where it is cut into two pieces.
#include "nvs/index/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace nv::nvs::index {

void PrintTo(md5_way_t way, std::ostream* out) { *out << md5_way_name(way); }

namespace {

using digest_t = std::array<std::uint8_t, 16>;

digest_t openssl_md5(std::span<const std::uint8_t> data)
{
    digest_t digest{};
    unsigned size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_md5(), nullptr), 1);
    return digest;
}

// Random texts of every length 0..300 and their digests, made once.
struct corpus_t {
    static constexpr std::size_t max_length = 300;
    std::vector<std::vector<std::uint8_t>> texts;
    std::vector<digest_t> digests;

    corpus_t()
    {
        std::mt19937 rng(2026);
        for (std::size_t length = 0; length <= max_length; ++length) {
            std::vector<std::uint8_t> text(length);
            for (auto& b : text)
                b = std::uint8_t(rng());
            digests.push_back(openssl_md5(text));
            texts.push_back(std::move(text));
        }
    }
};

class Md5Many : public testing::TestWithParam<md5_way_t> {
protected:
    void SetUp() override
    {
        if (!md5_way_available(GetParam()))
            GTEST_SKIP() << md5_way_name(GetParam()) << " is not available here";
    }

    static constexpr std::size_t max_length = corpus_t::max_length;

    static const corpus_t& corpus()
    {
        static const corpus_t made;
        return made;
    }
    static std::span<const std::uint8_t> text(std::size_t length) { return corpus().texts[length]; }
    static const digest_t& expected(std::size_t length) { return corpus().digests[length]; }

    // Hashes the batch into digests with a guard entry after them, which must stay as it was.
    std::vector<digest_t> hash(const std::vector<md5_message_t>& batch) const
    {
        digest_t guard;
        guard.fill(0xA5);
        std::vector<digest_t> digests(batch.size() + 1, guard);
        md5_many(GetParam(), batch, std::span(digests).first(batch.size()));
        EXPECT_EQ(digests.back(), guard) << "written past the last digest";
        digests.pop_back();
        return digests;
    }
};

// Every length in every position of batches as wide as the widest lanes and
// wider, beside neighbours of other lengths (shorter, longer, more blocks).
TEST_P(Md5Many, EveryLengthInEveryPosition)
{
    for (const std::size_t width : {4, 8, 16, 17}) {
        for (std::size_t length = 0; length <= max_length; ++length) {
            for (std::size_t position = 0; position < width; ++position) {
                std::vector<md5_message_t> batch;
                std::vector<std::size_t> lengths;
                for (std::size_t i = 0; i < width; ++i) {
                    const std::size_t l = i == position ? length : (length * 7 + i * 13) % 130;
                    lengths.push_back(l);
                    batch.push_back({text(l), {}});
                }
                const auto digests = hash(batch);
                for (std::size_t i = 0; i < width; ++i) {
                    if (digests[i] != expected(lengths[i])) {
                        ADD_FAILURE() << "batch of " << width << ", length " << length << " at " << position
                                      << ": message " << i << " of length " << lengths[i] << " is wrong";
                        return;
                    }
                }
            }
        }
    }
}

// All cuts of one text in one batch: each message is the same text, cut at
// another point into first and second.
TEST_P(Md5Many, CutAtEveryPoint)
{
    for (std::size_t length = 0; length <= max_length; ++length) {
        const auto whole = text(length);
        std::vector<md5_message_t> batch;
        for (std::size_t cut = 0; cut <= length; ++cut)
            batch.push_back({whole.first(cut), whole.subspan(cut)});
        const auto digests = hash(batch);
        for (std::size_t cut = 0; cut <= length; ++cut) {
            if (digests[cut] != expected(length)) {
                ADD_FAILURE() << "length " << length << " cut at " << cut << " is wrong";
                return;
            }
        }
    }
}

// Batches of every size up to 40 with random lengths and cuts, mostly in the
// range of the lookup keys (a host suffix and a path prefix).
TEST_P(Md5Many, BatchSizesAndMixedLengths)
{
    std::mt19937 rng(99);
    for (std::size_t size = 0; size <= 40; ++size) {
        for (int round = 0; round < 50; ++round) {
            std::vector<md5_message_t> batch;
            std::vector<std::size_t> lengths;
            for (std::size_t i = 0; i < size; ++i) {
                const std::size_t length = rng() % 8 == 0 ? rng() % (max_length + 1) : rng() % 70;
                const std::size_t cut = rng() % (length + 1);
                lengths.push_back(length);
                batch.push_back({text(length).first(cut), text(length).subspan(cut)});
            }
            const auto digests = hash(batch);
            for (std::size_t i = 0; i < size; ++i) {
                if (digests[i] != expected(lengths[i])) {
                    ADD_FAILURE() << "batch of " << size << ", round " << round << ": message " << i << " of length "
                                  << lengths[i] << " is wrong";
                    return;
                }
            }
        }
    }
}

// Empty pieces without any storage behind them, as a key with an empty host
// suffix and no path gives.
TEST_P(Md5Many, EmptySpansWithoutStorage)
{
    const std::vector<md5_message_t> batch(9);
    for (const auto& digest : hash(batch))
        EXPECT_EQ(digest, expected(0));
    md5_many(GetParam(), {}, {});
}

INSTANTIATE_TEST_SUITE_P(Ways, Md5Many,
                         testing::Values(md5_way_t::one_by_one, md5_way_t::interleaved, md5_way_t::sse2,
                                         md5_way_t::avx2, md5_way_t::avx512),
                         [](const testing::TestParamInfo<md5_way_t>& info) { return md5_way_name(info.param); });

// The way taken without naming one is the best available, and gives the same digests.
TEST(Md5ManyDefault, TakesTheBestWay)
{
    const md5_way_t best = md5_best_way();
    EXPECT_TRUE(md5_way_available(best));
    EXPECT_NE(best, md5_way_t::one_by_one);
    const std::string texts[] = {"", "example.com", "www.example.com/some/path", std::string(56, 'x'), "a"};
    std::vector<md5_message_t> batch;
    for (const auto& text : texts)
        batch.push_back({std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), {}});
    std::vector<digest_t> digests(batch.size());
    md5_many(batch, digests);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        SCOPED_TRACE(texts[i]);
        EXPECT_EQ(digests[i], openssl_md5(batch[i].first));
    }
}

} // namespace
} // namespace nv::nvs::index
