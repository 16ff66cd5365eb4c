// The pattern search of a database with 5,000 patterns (words of 8 to 14
// letters, as in the URL-shaped set of the lookup benchmark): building the
// automaton, opening the whole database (the build counts in load time), one
// search per URL, and the automaton's memory.
#include "nvs/file.h"
#include "nvs/index/pattern_automaton.h"
#include "nvs/index/writer.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace index = nv::nvs::index;

std::string word(std::mt19937_64& rng, std::size_t min_length, std::size_t max_length)
{
    std::string w(min_length + rng() % (max_length - min_length + 1), ' ');
    for (char& c : w)
        c = char('a' + rng() % 26);
    return w;
}

struct data_t {
    std::vector<std::string> patterns;
    std::vector<std::string> urls;
    std::string dir;
    std::string path;

    data_t()
    {
        std::mt19937_64 rng(7);
        for (int i = 0; i < 5'000; ++i)
            patterns.push_back(word(rng, 8, 14));
        // One URL in 100 holds a pattern; the rest hold none.
        for (int i = 0; i < 10'000; ++i) {
            std::string url = "http://www." + word(rng, 3, 10) + ".com/" + word(rng, 3, 8);
            if (i % 100 == 0)
                url += "/" + patterns[rng() % patterns.size()];
            urls.push_back(url + "/page.html?id=" + std::to_string(rng() % 1000));
        }

        dir = (std::filesystem::temp_directory_path() / "norva-patterns-bench-XXXXXX").string();
        if (!::mkdtemp(dir.data()))
            std::abort();
        path = dir + "/patterns.nvs";
        std::vector<index::bytes_t> sections(9);
        for (const auto& p : patterns)
            index::put_bytes(sections[1], p.c_str(), p.size() + 1);
        const auto key =
            index::dsa_key_t::read_private_pem(std::string(NORVA_SOURCE_DIR) + "/keys/test-private-DO-NOT-USE.pem");
        const auto image = index::assemble(sections, {2026, 1, 1, 0, 0, 0}, "malware", key);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        if (!out)
            std::abort();
    }
    ~data_t() { std::filesystem::remove_all(dir); }
};

const data_t& data()
{
    static const data_t d;
    return d;
}

void build_automaton(benchmark::State& state)
{
    const std::vector<std::string_view> views(data().patterns.begin(), data().patterns.end());
    std::size_t bytes = 0;
    for (auto _ : state) {
        const index::pattern_automaton_t automaton(views);
        bytes = automaton.memory_bytes();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["memory_bytes"] = double(bytes);
}

void open_database(benchmark::State& state)
{
    for (auto _ : state) {
        const nv::nvs::file_t file(data().path);
        benchmark::DoNotOptimize(file.record_count());
    }
}

void find_in_url(benchmark::State& state)
{
    const nv::nvs::file_t file(data().path);
    std::size_t i = 0, found = 0, checks = 0;
    for (auto _ : state) {
        found += file.patterns().find(data().urls[i]).found;
        ++checks;
        if (++i == data().urls.size())
            i = 0;
    }
    state.SetItemsProcessed(std::int64_t(checks));
    state.counters["found_share"] = checks ? double(found) / double(checks) : 0.0;
}

BENCHMARK(build_automaton)->Unit(benchmark::kMillisecond);
BENCHMARK(open_database)->Unit(benchmark::kMillisecond);
BENCHMARK(find_in_url);

} // namespace
