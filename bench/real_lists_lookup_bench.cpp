// Checks per second of the database lookup over real lists and real URLs:
// every ".nvs" file of NORVA_BENCH_NVS_DIR (e.g. made by "nvs-tool import"
// from the UT1 lists) is opened and filed by category as the engine does, and
// each line of NORVA_BENCH_URLS is parsed and checked against every category.
// Parsing is timed with the lookup, as the daemon does both for each request.
// bench/compare-squidguard runs it; without the two variables it only says so.
#include "nvs/file.h"
#include "nvs/file_set.h"
#include "nvs/find_in_set.h"
#include "nvs/url/url.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct real_set_t {
    nv::nvs::category_map_t map;
    std::vector<std::string> urls;
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
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() == ".nvs")
                nv::nvs::file_into(s.map, std::make_shared<const nv::nvs::file_t>(e.path().string()));
        std::ifstream in(urls);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                s.urls.push_back(line);
        if (s.map.empty() || s.urls.empty())
            s.missing = "no databases or no URLs";
        for (const auto& text : s.urls) {
            const nv::nvs::url_t url(text);
            nv::nvs::index::context_t context(url);
            s.blocked += nv::nvs::check_categories(context, s.map, 0xFFFFFFFFu).categories != 0;
        }
        return s;
    }();
    return set;
}

void BM_RealListsCheck(benchmark::State& state)
{
    const auto& set = real_set();
    if (!set.missing.empty()) {
        state.SkipWithError(set.missing.c_str());
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const nv::nvs::url_t url(set.urls[i]);
        nv::nvs::index::context_t context(url);
        benchmark::DoNotOptimize(nv::nvs::check_categories(context, set.map, 0xFFFFFFFFu));
        if (++i == set.urls.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["urls"] = double(set.urls.size());
    state.counters["blocked"] = double(set.blocked);
}
BENCHMARK(BM_RealListsCheck)->MinTime(3.0);

} // namespace
