// Opening a large database: mapping, signature check and readers, beside the
// cost of SHA-1 alone over the same bytes (the goal: only hashing costs time),
// and the resident memory an open database adds beyond its mapping.
#include "nvs/file.h"
#include "nvs/index/writer.h"

#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace index = nv::nvs::index;

// A signed database of about 100 MB: host/path records spread over many
// (level, depth) runs, with some patterns, addresses and a notice.
class big_database_t {
public:
    big_database_t()
    {
        std::string dir = (std::filesystem::temp_directory_path() / "norva-bench-XXXXXX").string();
        if (!::mkdtemp(dir.data()))
            std::abort();
        dir_ = dir;
        path_ = dir + "/big.nvs";

        constexpr std::size_t target = 100u << 20;
        constexpr std::size_t records = target / 19;
        std::vector<index::bytes_t> sections(9);
        auto& urls = sections[4];
        urls.reserve(records * 19);
        for (std::size_t i = 0; i < records; ++i) {
            // 64 levels x 64 depths; keys ascend inside each run.
            const std::size_t run = i * 4096 / records, n = i;
            index::put8(urls, std::uint8_t(1 + run / 64));
            index::put16(urls, std::uint16_t(run % 64));
            for (int b = 0; b < 8; ++b)
                index::put8(urls, 0);
            for (int shift = 56; shift >= 0; shift -= 8)
                index::put8(urls, std::uint8_t(n >> shift));
        }
        for (int i = 0; i < 1000; ++i) {
            const std::string p = "pattern" + std::to_string(i);
            index::put_bytes(sections[1], p.c_str(), p.size() + 1);
            index::put32(sections[2], std::uint32_t(0x0A000000u + i));
        }
        const auto notice = index::deflate_notice("{\"legalURL\":\"https://example.com/\"}");
        index::put32(sections[8], 1);
        index::put32(sections[8], 1234);
        index::put32(sections[8], 12);
        index::put32(sections[8], std::uint32_t(notice.size()));
        index::put_bytes(sections[8], notice.data(), notice.size());

        const auto key = index::dsa_key_t::read_private_pem(std::string(NORVA_SOURCE_DIR)
                                                            + "/keys/test-private-DO-NOT-USE.pem");
        const auto image = index::assemble(sections, {2026, 1, 1, 0, 0, 0}, "gamble", key);
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        if (!out)
            std::abort();
        size_ = image.size();
    }
    ~big_database_t() { std::filesystem::remove_all(dir_); }

    const std::string& path() const { return path_; }
    std::size_t size() const { return size_; }

private:
    std::string dir_, path_;
    std::size_t size_ = 0;
};

const big_database_t& big_database()
{
    static const big_database_t db;
    return db;
}

void BM_Sha1OfTheFile(benchmark::State& state)
{
    const auto mapped = nv::nvs::io::mapped_file_t::open(big_database().path());
    unsigned char digest[SHA_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA1(mapped.data(), mapped.size() - 40, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(mapped.size()));
}
BENCHMARK(BM_Sha1OfTheFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_OpenDatabase(benchmark::State& state)
{
    const std::string& path = big_database().path();
    std::uint64_t records = 0;
    for (auto _ : state) {
        const nv::nvs::file_t file(path);
        records = file.record_count();
        benchmark::DoNotOptimize(records);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(big_database().size()));
    state.counters["records"] = double(records);
}
BENCHMARK(BM_OpenDatabase)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Anonymous and file-backed resident memory of the process, in kB.
std::pair<long, long> resident_kb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    long anon = 0, file = 0;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0)
            anon = std::atol(line.c_str() + 8);
        else if (line.rfind("RssFile:", 0) == 0)
            file = std::atol(line.c_str() + 8);
    }
    return {anon, file};
}

void BM_ResidentMemoryOfAnOpenDatabase(benchmark::State& state)
{
    const std::string& path = big_database().path();
    long anon_added = 0, file_added = 0;
    for (auto _ : state) {
        const auto before = resident_kb();
        const auto file = std::make_unique<nv::nvs::file_t>(path);
        const auto after = resident_kb();
        anon_added = after.first - before.first;
        file_added = after.second - before.second;
        benchmark::DoNotOptimize(file.get());
    }
    // Heap beyond the mapping: notices, run maps, pattern list. The mapping's
    // pages show as file-backed memory shared with the page cache.
    state.counters["heap_kB_added"] = double(anon_added);
    state.counters["mapped_kB_resident"] = double(file_added);
    state.counters["file_MB"] = double(big_database().size()) / double(1 << 20);
}
BENCHMARK(BM_ResidentMemoryOfAnOpenDatabase)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
