// Checks per second of the database lookup, single-threaded, over two sets:
//  - domain-shaped: 18 category databases and 3 whitelists holding 2 million
//    host keys in all (levels 2 to 4, depth 0), URLs of 2 to 4 labels of
//    which half are present;
//  - URL-shaped: one database of 500,000 host/path keys and 5,000 patterns.
// Data comes from fixed seeds, so every run measures the same work.
// NORVA_BENCH_SCALE=N divides the entry counts by N (for profiling runs).
#include "nvs/file.h"
#include "nvs/file_set.h"
#include "nvs/find_in_set.h"
#include "nvs/index/keys.h"
#include "nvs/index/writer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace index = nv::nvs::index;
using nv::nvs::category_map_t;
using nv::nvs::url_t;

std::size_t scaled(std::size_t n)
{
    const char* scale = std::getenv("NORVA_BENCH_SCALE");
    const long divisor = scale ? std::strtol(scale, nullptr, 10) : 1;
    return divisor > 1 ? std::max<std::size_t>(n / std::size_t(divisor), 1) : n;
}

// Deterministic words for host labels and path parts.
class words_t {
public:
    explicit words_t(std::uint64_t seed) : rng_(seed) {}

    std::string word(std::size_t min_length, std::size_t max_length)
    {
        const std::size_t length = min_length + rng_() % (max_length - min_length + 1);
        std::string w;
        for (std::size_t i = 0; i < length; ++i)
            w += char('a' + rng_() % 26);
        return w;
    }
    std::string host(unsigned labels)
    {
        static const char* const tlds[] = {"com", "net", "org", "ru", "de", "info"};
        std::string h = tlds[rng_() % std::size(tlds)];
        for (unsigned i = 1; i < labels; ++i)
            h = word(3, 10) + "." + h;
        return h;
    }
    std::uint64_t next() { return rng_(); }

private:
    std::mt19937_64 rng_;
};

struct record_t {
    unsigned level, depth;
    index::md5_key_t key;
    friend bool operator<(const record_t& a, const record_t& b)
    {
        return std::tie(a.level, a.depth, a.key) < std::tie(b.level, b.depth, b.key);
    }
};

class bench_dir_t {
public:
    bench_dir_t()
    {
        std::string dir = (std::filesystem::temp_directory_path() / "norva-lookup-bench-XXXXXX").string();
        if (!::mkdtemp(dir.data()))
            std::abort();
        path_ = dir;
    }
    ~bench_dir_t() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const index::dsa_key_t& key()
{
    static const auto k =
        index::dsa_key_t::read_private_pem(std::string(NORVA_SOURCE_DIR) + "/keys/test-private-DO-NOT-USE.pem");
    return k;
}

std::shared_ptr<const nv::nvs::file_t> write_and_open(const std::string& path, std::string_view name,
                                                      std::vector<record_t> records,
                                                      const std::vector<std::string>& patterns = {})
{
    std::sort(records.begin(), records.end());
    std::vector<index::bytes_t> sections(9);
    sections[4].reserve(records.size() * 19);
    for (const auto& r : records) {
        index::put8(sections[4], std::uint8_t(r.level));
        index::put16(sections[4], std::uint16_t(r.depth));
        index::put_bytes(sections[4], r.key.data(), r.key.size());
    }
    for (const auto& p : patterns)
        index::put_bytes(sections[1], p.c_str(), p.size() + 1);
    const auto image = index::assemble(sections, {2026, 1, 1, 0, 0, 0}, name, key());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    out.close();
    if (!out)
        std::abort();
    return std::make_shared<const nv::nvs::file_t>(path);
}

struct data_set_t {
    bench_dir_t dir;
    category_map_t map;
    std::vector<url_t> urls;
    std::size_t present = 0;
};

// 18 categories and 3 whitelists; 2 million host keys spread evenly.
const data_set_t& domain_set()
{
    static const data_set_t set = [] {
        data_set_t s;
        static const char* const names[] = {
            "malware",  "social_engineering", "porno",       "violence", "weapon",        "gamble",
            "drugs",    "obscenity",          "chats",       "terrorism", "e-mail",       "socialnetwork",
            "piracy",   "online_games",       "anonymizer",  "miners",   "headhunters",   "black_list",
            "whitelist_malware", "whitelist_porno", "whitelist_gamble"};
        const std::size_t total = scaled(2'000'000), per_db = total / std::size(names);
        words_t words(20261210);
        std::vector<std::string> hosts;
        hosts.reserve(total);
        for (std::size_t d = 0; d < std::size(names); ++d) {
            std::vector<record_t> records;
            records.reserve(per_db);
            for (std::size_t i = 0; i < per_db; ++i) {
                const unsigned labels = 2 + unsigned(words.next() % 3);
                std::string host = words.host(labels);
                records.push_back({labels, 0, index::md5_of(host)});
                hosts.push_back(std::move(host));
            }
            nv::nvs::file_into(s.map, write_and_open(s.dir.path() + "/" + names[d] + ".nvs", names[d],
                                                     std::move(records)));
        }
        // Half of the URLs name a stored host, half a host stored nowhere.
        words_t pick(42);
        for (std::size_t i = 0; i < 100'000; ++i) {
            const bool present = i % 2 == 0;
            const std::string host =
                present ? hosts[pick.next() % hosts.size()] : pick.host(2 + unsigned(pick.next() % 3));
            s.urls.emplace_back("http://" + host + "/index.html");
            s.present += present;
        }
        return s;
    }();
    return set;
}

// One database: 500,000 host/path keys (2 or 3 labels, paths of 1 to 3
// parts) and 5,000 patterns.
const data_set_t& url_set()
{
    static const data_set_t set = [] {
        data_set_t s;
        words_t words(7);
        const std::size_t count = scaled(500'000);
        std::vector<record_t> records;
        std::vector<std::string> stored;
        records.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned labels = 2 + unsigned(words.next() % 2);
            const std::string host = words.host(labels);
            std::string path;
            for (unsigned p = 0, parts = 1 + unsigned(words.next() % 3); p < parts; ++p)
                path += "/" + words.word(3, 8);
            records.push_back({labels, unsigned(path.size()), index::md5_of(host, path)});
            stored.push_back(host + path);
        }
        std::vector<std::string> patterns;
        for (std::size_t i = 0, n = scaled(5'000); i < n; ++i)
            patterns.push_back(words.word(8, 14));
        nv::nvs::file_into(s.map, write_and_open(s.dir.path() + "/malware.nvs", "malware", std::move(records), patterns));
        words_t pick(43);
        for (std::size_t i = 0; i < 100'000; ++i) {
            const bool present = i % 2 == 0;
            const std::string target = present ? stored[pick.next() % stored.size()]
                                               : pick.host(2 + unsigned(pick.next() % 2)) + "/" + pick.word(3, 8);
            s.urls.emplace_back("http://" + target + "/page.html?id=" + std::to_string(pick.next() % 1000));
            s.present += present;
        }
        return s;
    }();
    return set;
}

void run_checks(benchmark::State& state, const data_set_t& set)
{
    std::size_t i = 0, found = 0, checks = 0;
    for (auto _ : state) {
        const url_t& url = set.urls[i];
        index::context_t context(url);
        const auto report = nv::nvs::check_categories(context, set.map, 0xFFFFFFFFu);
        found += report.categories != 0;
        benchmark::DoNotOptimize(report);
        ++checks;
        if (++i == set.urls.size())
            i = 0;
    }
    state.SetItemsProcessed(std::int64_t(checks));
    state.counters["found_share"] = checks ? double(found) / double(checks) : 0.0;
}

void lookup_domain_set(benchmark::State& state) { run_checks(state, domain_set()); }
void lookup_url_set(benchmark::State& state) { run_checks(state, url_set()); }

BENCHMARK(lookup_domain_set);
BENCHMARK(lookup_url_set);

} // namespace
