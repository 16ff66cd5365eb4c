// Checks per second of the database lookup over real lists and real URLs:
// every ".nvs" file of NORVA_BENCH_NVS_DIR (e.g. made by "nvs-tool import"
// from the UT1 lists) is loaded as the engine loads a directory (with its key
// filter), and each line of NORVA_BENCH_URLS is checked against every category.
//  - BM_RealListsCheck: parsing and lookup, as the daemon does both for each
//    request (parsing on the main thread, lookup on the worker);
//  - BM_RealListsLookup: lookup only, on URLs parsed beforehand: the worker
//    thread's part;
// each without and with the key filter, over the engine's walk plan; and the
// lookup-only case with the filter once more over the category map the plan is
// made from. Lookup-only cases also count heap allocations per check
// (expected: none; the report and the context live on the stack here).
// bench/compare-squidguard runs it; without the two variables it only says so.
#include "bench/support/allocation_counter.h"
#include "nvs/async/reload.h"
#include "nvs/file.h"
#include "nvs/find_in_set.h"
#include "nvs/log.h"
#include "nvs/url/url.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace nvs = nv::nvs;

struct real_set_t {
    nvs::async::engine_t::estate_t estate;
    std::vector<std::string> urls;
    std::vector<std::unique_ptr<const nvs::url_t>> parsed;
    std::size_t blocked = 0; // URLs with at least one category, counted once
    std::string missing;
};

const real_set_t& real_set()
{
    static const real_set_t set = [] {
        real_set_t s;
        const char* dir = std::getenv("NORVA_BENCH_NVS_DIR");
        const char* urls = std::getenv("NORVA_BENCH_URLS");
        if (!dir || !urls) {
            s.missing = "set NORVA_BENCH_NVS_DIR and NORVA_BENCH_URLS";
            return s;
        }
        nvs::log_t::instance().set_threshold(nvs::log_t::error);
        nvs::async::reload_databases(s.estate, dir);
        std::ifstream in(urls);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                s.urls.push_back(line);
        if (s.estate.files.empty() || s.urls.empty() || !s.estate.filter || !s.estate.walk)
            s.missing = "no databases, no URLs, no key filter or no walk plan";
        for (const auto& text : s.urls) {
            s.parsed.push_back(std::make_unique<const nvs::url_t>(text));
            nvs::index::context_t context(*s.parsed.back());
            s.blocked += nvs::check_categories(context, s.estate.by_category, 0xFFFFFFFFu).categories != 0;
        }
        return s;
    }();
    return set;
}

const nvs::key_filter_t* filter_of(const real_set_t& set, bool filtered)
{
    return filtered ? set.estate.filter.get() : nullptr;
}

void report(benchmark::State& state, const real_set_t& set)
{
    state.SetItemsProcessed(state.iterations());
    state.counters["urls"] = double(set.urls.size());
    state.counters["blocked"] = double(set.blocked);
}

void BM_RealListsCheck(benchmark::State& state, bool filtered)
{
    const auto& set = real_set();
    if (!set.missing.empty()) {
        state.SkipWithError(set.missing.c_str());
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const nvs::url_t url(set.urls[i]);
        nvs::index::context_t context(url, filter_of(set, filtered));
        benchmark::DoNotOptimize(nvs::check_categories(context, *set.estate.walk, 0xFFFFFFFFu));
        if (++i == set.urls.size())
            i = 0;
    }
    report(state, set);
}

void BM_RealListsLookup(benchmark::State& state, bool filtered, bool planned = true)
{
    const auto& set = real_set();
    if (!set.missing.empty()) {
        state.SkipWithError(set.missing.c_str());
        return;
    }
    std::size_t i = 0;
    const std::uint64_t allocations_before = nv::bench::allocation_count();
    for (auto _ : state) {
        nvs::index::context_t context(*set.parsed[i], filter_of(set, filtered));
        benchmark::DoNotOptimize(planned ? nvs::check_categories(context, *set.estate.walk, 0xFFFFFFFFu)
                                         : nvs::check_categories(context, set.estate.by_category, 0xFFFFFFFFu));
        if (++i == set.urls.size())
            i = 0;
    }
    // Legal URLs of piracy notices are strings of their own; the UT1 lists have none.
    state.counters["allocs_per_check"] =
        double(nv::bench::allocation_count() - allocations_before) / double(std::max<std::int64_t>(state.iterations(), 1));
    report(state, set);
}

// The first case is what compare-squidguard prints as the daemon's in-process figure.
BENCHMARK_CAPTURE(BM_RealListsCheck, filtered, true)->MinTime(3.0);
BENCHMARK_CAPTURE(BM_RealListsCheck, unfiltered, false)->MinTime(3.0);
BENCHMARK_CAPTURE(BM_RealListsLookup, filtered, true)->MinTime(3.0);
BENCHMARK_CAPTURE(BM_RealListsLookup, unfiltered, false)->MinTime(3.0);
BENCHMARK_CAPTURE(BM_RealListsLookup, filtered_map_walk, true, false)->MinTime(3.0);

} // namespace
