// The database engine over a domain-shaped directory: 18 category databases
// and 3 whitelists holding 2 million host keys in all, generated from fixed
// seeds and signed with the test key.
//  - engine_load: a fresh engine loads the directory (time, bytes of database
//    files per second); the files sit in the page cache after generation.
//  - engine_reload_unchanged: a reload of the loaded, unchanged directory; it
//    must open nothing (fails the benchmark otherwise).
//  - engine_memory: resident memory after loading, apart from the mapped files
//    (anonymous memory grown by the load), next to the mapped bytes.
//  - engine_load_floor: only what no load of mapped, signed files can skip:
//    every file opened, mapped and checked (size, magic, signature), shared by
//    this thread and one started for it, as a load shares them with its
//    helper; no parsing, no key filter, no hand-over to a worker. Its
//    floor_vs_sha1 bounds what load_vs_sha1 can reach on this machine.
// NORVA_BENCH_SCALE=N divides the entry count by N. NORVA_BENCH_NVS_DIR=DIR
// measures an existing directory instead (e.g. the UT1 lists imported by
// "nvs-tool import").
// The load is compared with SHA-1 over the same bytes (read beforehand, so the
// comparison is the strictest one): every file is hashed by the signature
// check, so a load cannot be faster; the rest of the load (grouping, the key
// filter, mapping) is what the ratio load_vs_sha1 shows.
#include "nvs/async/engine.h"
#include "nvs/async/thread.h"
#include "nvs/io/mapped_file.h"
#include "nvs/index/content.h"
#include "nvs/index/keys.h"
#include "nvs/index/writer.h"
#include "nvs/log.h"

#include "nvs/file.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace index = nv::nvs::index;
using nv::nvs::async::engine_t;
using nv::nvs::async::thread_t;

std::size_t scaled(std::size_t n)
{
    const char* scale = std::getenv("NORVA_BENCH_SCALE");
    const long divisor = scale ? std::strtol(scale, nullptr, 10) : 1;
    return divisor > 1 ? std::max<std::size_t>(n / std::size_t(divisor), 1) : n;
}

struct record_t {
    unsigned level;
    index::md5_key_t key;
    friend bool operator<(const record_t& a, const record_t& b) { return std::tie(a.level, a.key) < std::tie(b.level, b.key); }
};

// The generated directory, removed at exit.
struct data_dir_t {
    std::string path;
    std::uint64_t bytes = 0;
    std::size_t files = 0;

    data_dir_t()
    {
        if (const char* given = std::getenv("NORVA_BENCH_NVS_DIR")) {
            path = given;
            keep = true;
            for (const auto& e : std::filesystem::directory_iterator(path))
                if (e.path().extension() == ".nvs") {
                    bytes += e.file_size();
                    ++files;
                }
            return;
        }
        path = (std::filesystem::temp_directory_path() / "norva-engine-bench-XXXXXX").string();
        if (!::mkdtemp(path.data()))
            std::abort();
        static const char* const names[] = {
            "malware", "social_engineering", "porno",  "violence",     "weapon",     "gamble",
            "drugs",   "obscenity",          "chats",  "terrorism",    "e-mail",     "socialnetwork",
            "piracy",  "online_games",       "anonymizer", "miners",   "headhunters", "black_list",
            "whitelist_malware", "whitelist_porno", "whitelist_gamble"};
        const auto key = index::dsa_key_t::read_private_pem(std::string(NORVA_SOURCE_DIR)
                                                            + "/keys/test-private-DO-NOT-USE.pem");
        const std::size_t per_db = scaled(2'000'000) / std::size(names);
        std::mt19937_64 rng(20261210);
        for (const char* name : names) {
            std::vector<record_t> records;
            records.reserve(per_db);
            for (std::size_t i = 0; i < per_db; ++i) {
                const unsigned labels = 2 + unsigned(rng() % 3);
                std::string host = "com";
                for (unsigned l = 1; l < labels; ++l) {
                    std::string word;
                    for (std::size_t c = 0, n = 3 + rng() % 8; c < n; ++c)
                        word += char('a' + rng() % 26);
                    host = word + "." + host;
                }
                records.push_back({labels, index::md5_of(host)});
            }
            std::sort(records.begin(), records.end());
            std::vector<index::bytes_t> sections(5);
            for (const auto& r : records) {
                index::put8(sections[4], std::uint8_t(r.level));
                index::put16(sections[4], 0);
                index::put_bytes(sections[4], r.key.data(), r.key.size());
            }
            const auto image = index::assemble(sections, {2026, 12, 10, 0, 0, 0}, name, key);
            std::ofstream out(path + "/" + name + ".nvs", std::ios::binary);
            out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
            if (!out)
                std::abort();
            bytes += image.size();
            ++files;
        }
    }
    ~data_dir_t()
    {
        if (!keep)
            std::filesystem::remove_all(path);
    }
    bool keep = false;
};

const data_dir_t& data_dir()
{
    static const data_dir_t dir;
    return dir;
}

// Counts the "loaded" lines of the library log; drops the rest.
std::atomic<int> opened{0};
void count_opened()
{
    nv::nvs::log_t::instance().set_threshold(nv::nvs::log_t::debug);
    nv::nvs::log_t::instance().set_handler([](nv::nvs::log_t::level_t, std::string_view text) {
        if (text.starts_with("NVS database loaded: "))
            ++opened;
    });
}

// A main loop, the worker and the engine, with a blocking reload.
struct engine_rig_t {
    boost::asio::io_context main;
    thread_t thread{main};
    engine_t engine{thread};

    void reload(const std::string& dir)
    {
        bool done = false;
        // The loop stops whenever it runs out of work, as after the last reload.
        if (main.stopped())
            main.restart();
        auto work = boost::asio::make_work_guard(main);
        engine.reload(dir);
        // The end notice runs before the (empty) completion: wait for the task itself.
        thread.post({}, [&](const boost::system::error_code&) { done = true; });
        while (!done)
            main.run_one();
    }
};

// Resident anonymous memory and resident file-backed memory, in bytes.
std::pair<double, double> resident()
{
    std::ifstream status("/proc/self/status");
    double anon = 0, file = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("RssAnon:"))
            anon = std::stod(line.substr(8)) * 1024;
        else if (line.starts_with("RssFile:"))
            file = std::stod(line.substr(8)) * 1024;
    }
    return {anon, file};
}

// Seconds of SHA-1 over the bytes of every database file, best of a few runs.
double sha1_seconds(const data_dir_t& dir)
{
    std::vector<std::string> contents;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
        if (e.path().extension() == ".nvs") {
            std::ifstream in(e.path(), std::ios::binary);
            contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        unsigned char digest[SHA_DIGEST_LENGTH];
        for (const auto& c : contents) {
            SHA1(reinterpret_cast<const unsigned char*>(c.data()), c.size(), digest);
            benchmark::DoNotOptimize(digest);
        }
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void engine_load(benchmark::State& state)
{
    const auto& dir = data_dir();
    count_opened();
    const double sha1 = sha1_seconds(dir);
    double best_load = 1e9;
    std::size_t keys = 0, filter_bytes = 0;
    for (auto _ : state) {
        // The worker's start is not part of the load.
        state.PauseTiming();
        auto rig = std::make_unique<engine_rig_t>();
        opened = 0;
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        rig->reload(dir.path);
        best_load = std::min(best_load, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        // Stopping the worker and unmapping are not part of the load.
        state.PauseTiming();
        if (rig->engine.estate().shown_files.size() != dir.files || opened != int(dir.files))
            state.SkipWithError("not every database loaded");
        // A worker-side member, read here while the worker is idle: the reload's
        // completion, posted after it, has run.
        const auto& filter = rig->engine.estate().filter;
        if (!filter)
            state.SkipWithError("no key filter");
        else
            keys = filter->key_count(), filter_bytes = filter->bytes();
        rig.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * dir.bytes));
    state.counters["databases"] = double(dir.files);
    state.counters["file_MB"] = double(dir.bytes) / 1e6;
    state.counters["sha1_MB_per_s"] = double(dir.bytes) / sha1 / 1e6;
    state.counters["best_load_MB_per_s"] = double(dir.bytes) / best_load / 1e6;
    state.counters["load_vs_sha1"] = sha1 / best_load;
    state.counters["filter_keys"] = double(keys);
    state.counters["filter_bytes_per_key"] = keys ? double(filter_bytes) / double(keys) : 0;
}

void engine_load_floor(benchmark::State& state)
{
    const auto& dir = data_dir();
    const double sha1 = sha1_seconds(dir);
    std::vector<std::string> paths;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
        if (e.path().extension() == ".nvs")
            paths.push_back(e.path().string());
    std::vector<nv::nvs::io::mapping_t> mappings(paths.size());
    std::vector<nv::nvs::error_t> checks(paths.size());
    double best = 1e9;
    for (auto _ : state) {
        std::atomic<std::size_t> next{0};
        const auto open_and_check = [&] {
            for (std::size_t i; (i = next.fetch_add(1)) < paths.size();) {
                nv::nvs::io::open_failure_t failure;
                mappings[i] = nv::nvs::io::mapping_t::open(paths[i].c_str(), failure);
                checks[i] = mappings[i] ? index::check_container(mappings[i].data(), mappings[i].size())
                                        : nv::nvs::error_t::bad_file_format;
            }
        };
        const auto start = std::chrono::steady_clock::now();
        std::thread helper(open_and_check);
        open_and_check();
        helper.join();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        // Unmapping is not part of a load.
        state.PauseTiming();
        if (std::count(checks.begin(), checks.end(), nv::nvs::error_t::success) != std::ptrdiff_t(paths.size()))
            state.SkipWithError("not every database passed its check");
        for (auto& m : mappings)
            m = {};
        state.ResumeTiming();
    }
    state.counters["sha1_MB_per_s"] = double(dir.bytes) / sha1 / 1e6;
    state.counters["best_floor_MB_per_s"] = double(dir.bytes) / best / 1e6;
    state.counters["floor_vs_sha1"] = sha1 / best;
}

void engine_reload_unchanged(benchmark::State& state)
{
    const auto& dir = data_dir();
    count_opened();
    engine_rig_t rig;
    rig.reload(dir.path);
    opened = 0;
    for (auto _ : state)
        rig.reload(dir.path);
    state.counters["opened"] = double(opened.load());
    if (opened != 0)
        state.SkipWithError("an unchanged directory reopened databases");
}

void engine_memory(benchmark::State& state)
{
    const auto& dir = data_dir();
    count_opened();
    for (auto _ : state) {
        const auto before = resident();
        engine_rig_t rig;
        rig.reload(dir.path);
        const auto after = resident();
        state.counters["anon_MB_beyond_mappings"] = (after.first - before.first) / 1e6;
        state.counters["file_MB_resident"] = (after.second - before.second) / 1e6;
        state.counters["file_MB_mapped"] = double(dir.bytes) / 1e6;
        std::uint64_t records = 0;
        for (const auto& file : rig.engine.estate().shown_files)
            records += file->record_count();
        state.counters["records"] = double(records);
        state.counters["anon_bytes_per_record"] = records ? (after.first - before.first) / double(records) : 0;
    }
}

BENCHMARK(engine_load)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(engine_load_floor)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(engine_reload_unchanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(engine_memory)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
