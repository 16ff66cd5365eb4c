// Nanoseconds per lookup key of the batched MD5, each way this processor
// offers, for batches of 1 to 16 keys shaped like a check's host keys: a host
// suffix of 6 to 30 bytes and a path prefix of 0 to 12 (10 to 40 bytes in all).
// "one_by_one" hashes one key after the other and is the baseline of the others.
#include "nvs/index/md5.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

namespace {

namespace index = nv::nvs::index;

struct batch_t {
    std::vector<std::string> hosts, paths;
    std::vector<index::md5_message_t> messages;
    std::vector<std::array<std::uint8_t, 16>> digests;

    explicit batch_t(std::size_t size)
    {
        std::mt19937 rng(static_cast<unsigned>(size));
        for (std::size_t i = 0; i < size; ++i) {
            const std::size_t host = 6 + rng() % 25, path = rng() % 2 == 0 ? 0 : 1 + rng() % 12;
            hosts.emplace_back(host, 'a');
            paths.emplace_back(path, '/');
        }
        for (std::size_t i = 0; i < size; ++i)
            messages.push_back({std::span(reinterpret_cast<const std::uint8_t*>(hosts[i].data()), hosts[i].size()),
                                std::span(reinterpret_cast<const std::uint8_t*>(paths[i].data()), paths[i].size())});
        digests.resize(size);
    }
};

void md5_keys(benchmark::State& state, index::md5_way_t way)
{
    if (!index::md5_way_available(way)) {
        state.SkipWithError("not available on this processor");
        return;
    }
    batch_t batch(std::size_t(state.range(0)));
    for (auto _ : state) {
        index::md5_many(way, batch.messages, batch.digests);
        benchmark::DoNotOptimize(batch.digests.data());
        benchmark::ClobberMemory();
    }
    // Seconds per key, printed with its prefix (e.g. "52.1ns").
    state.counters["per_key"] = benchmark::Counter(double(state.range(0)), benchmark::Counter::kIsIterationInvariantRate |
                                                                              benchmark::Counter::kInvert);
}

void batch_sizes(benchmark::internal::Benchmark* b)
{
    for (const int size : {1, 2, 3, 4, 5, 6, 7, 8, 12, 16})
        b->Arg(size);
}

} // namespace

BENCHMARK_CAPTURE(md5_keys, one_by_one, index::md5_way_t::one_by_one)->Apply(batch_sizes);
BENCHMARK_CAPTURE(md5_keys, interleaved, index::md5_way_t::interleaved)->Apply(batch_sizes);
BENCHMARK_CAPTURE(md5_keys, sse2, index::md5_way_t::sse2)->Apply(batch_sizes);
BENCHMARK_CAPTURE(md5_keys, avx2, index::md5_way_t::avx2)->Apply(batch_sizes);
BENCHMARK_CAPTURE(md5_keys, avx512, index::md5_way_t::avx512)->Apply(batch_sizes);
