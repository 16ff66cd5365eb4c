// Fuzzes the opening of a database file and the lookups in it. The input is
// the whole file; the fuzzing build does not check signatures, so the fuzzer
// reaches the header, every section reader and every lookup. Each file that
// opens is searched for a fixed set of URLs through the same per-category walk
// the engine runs for a check.
#include "fuzz/support/memory_file.h"
#include "fuzz/support/quiet_log.h"
#include "nvs/file.h"
#include "nvs/file_set.h"
#include "nvs/find_in_set.h"
#include "nvs/index/context.h"
#include "nvs/url/address.h"
#include "nvs/url/url.h"

#include <boost/system/system_error.hpp>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace {

using nv::nvs::url_t;

// Hosts at several levels, paths, parameters, and addresses of both families
// (as literals and as the client's addresses of the host).
std::vector<std::shared_ptr<const url_t>> make_urls()
{
    struct row_t {
        std::string_view text;
        std::vector<std::string_view> addresses;
    };
    const std::vector<row_t> rows{
        {"http://www.casino.example/responsible-gaming/rules.html", {}},
        {"https://a.b.blocked.example.net/files/malware/x.exe?id=7#top", {"198.51.100.23"}},
        {"search.example/find?q=casino&q=poker&page=2", {}},
        {"http://music.example/listen?album=greatest-hits&free=1&&x", {}},
        {"free-movies.example/films/new/index.html", {}},
        {"http://192.0.2.10/admin/login", {"192.0.2.10", "203.0.113.77"}},
        {"http://[2001:db8:dead::1]:8080/", {"2001:db8:dead::1", "2001:db8::bad", "fe80::1%1"}},
        {"http://xn--bcher-kva.example/roulette?jackpot", {}},
        {"/", {}},
        {"", {}},
    };
    std::vector<std::shared_ptr<const url_t>> urls;
    for (const row_t& row : rows) {
        nv::nvs::address_set_t addresses;
        for (std::string_view text : row.addresses)
            if (auto address = nv::nvs::parse_ip_address(text))
                addresses.insert(*address);
        urls.push_back(std::make_shared<const url_t>(row.text, std::move(addresses)));
    }
    return urls;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool log_quiet = (nv::fuzz::install_quiet_log(), true);
    static nv::fuzz::memory_file_t file("nvs-fuzz");
    static const auto urls = make_urls();
    (void)log_quiet;

    file.write({data, size});
    std::shared_ptr<const nv::nvs::file_t> database;
    try {
        database = std::make_shared<const nv::nvs::file_t>(file.path());
    } catch (const boost::system::system_error&) {
        // Refused files are the expected outcome of most inputs.
        return 0;
    }
    volatile auto count = database->record_count();
    (void)count;

    nv::nvs::category_map_t map;
    nv::nvs::file_into(map, database);
    for (const auto& url : urls) {
        nv::nvs::index::context_t context(*url);
        const nv::nvs::report_t report = nv::nvs::check_categories(context, map, 0xFFFFFFFFu);
        // A database can only ever report its own category.
        if ((report.categories & ~database->category()) != 0)
            std::abort();
        if (!report.legal_url.empty() && database->category() != nv::nvs::category_piracy)
            std::abort();
    }
    return 0;
}
