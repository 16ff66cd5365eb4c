// Neither the key filter nor the engine's walk plan changes a verdict: the same
// databases and a large URL stream checked with and without the filter, over
// the category map and over the plan, give the same report and the same
// decisions (database and record offset of every category matched or
// suppressed). Over a synthetic set built by nvs-tool, always, and over the UT1
// lists imported by nvs-tool with real URL streams when the shared data is there.
#include "nvs/async/reload.h"
#include "nvs/file.h"
#include "nvs/find_in_set.h"
#include "nvs/url/url.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_engine_support.h"
#include "tests/support/nvs_fixture.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace nv::nvs {
namespace {

using key_entry_t = index::context_t::key_entry_t;

constexpr category_set_t all_categories = 0xFFFFFFFFu;

// What the stream exercised, so that a stream that tests nothing fails.
struct tally_t {
    std::size_t urls = 0, blocked = 0, suppressed = 0, ruled_out = 0;
};

std::string describe(const std::vector<decision_t>& decisions)
{
    std::string out;
    for (const auto& d : decisions)
        out += " [bit " + std::to_string(d.category) + " " + d.file->path() + " @" + std::to_string(d.record_offset)
            + (d.whitelist ? " whitelist]" : "]");
    return out;
}

// Loads the directory as the engine does, which builds the key filter; every
// database must load, and the filter be built.
void load(async::engine_t::estate_t& estate, const std::string& dir)
{
    test::log_capture_t log;
    async::reload_databases(estate, dir);
    for (const auto& line : log.lines())
        EXPECT_NE(line.level, log_t::error) << line.text;
    ASSERT_TRUE(estate.filter);
    EXPECT_GT(estate.filter->key_count(), 0u);
    ASSERT_TRUE(estate.walk);
}

// Checks the URL over the category map without the filter, and as the engine
// does, with the filter over the walk plan, and with the filter over the map;
// all must agree exactly.
void compare(const async::engine_t::estate_t& estate, const url_t& url, category_set_t mask, tally_t& tally)
{
    ASSERT_TRUE(estate.filter);
    ASSERT_TRUE(estate.walk);
    std::vector<decision_t> plain_decisions, filtered_decisions, planned_decisions, unfiltered_plan_decisions;
    index::context_t plain(url);
    const report_t expected = check_categories(plain, estate.by_category, mask, &plain_decisions);
    index::context_t filtered(url, estate.filter.get());
    const report_t got = check_categories(filtered, estate.by_category, mask, &filtered_decisions);
    index::context_t planned_context(url, estate.filter.get());
    const report_t planned = check_categories(planned_context, *estate.walk, mask, &planned_decisions);
    // The plan without a filter hashes keys as the walk reaches them.
    index::context_t unfiltered_plan_context(url);
    const report_t unfiltered_plan =
        check_categories(unfiltered_plan_context, *estate.walk, mask, &unfiltered_plan_decisions);

    const std::string text = url.str(url_t::format_t::escaped);
    ASSERT_EQ(got.categories, expected.categories) << text;
    ASSERT_EQ(got.legal_url, expected.legal_url) << text;
    ASSERT_EQ(describe(filtered_decisions), describe(plain_decisions)) << text;
    ASSERT_EQ(planned.categories, expected.categories) << text;
    ASSERT_EQ(planned.legal_url, expected.legal_url) << text;
    ASSERT_EQ(describe(planned_decisions), describe(plain_decisions)) << text;
    ASSERT_EQ(unfiltered_plan.categories, expected.categories) << text;
    ASSERT_EQ(unfiltered_plan.legal_url, expected.legal_url) << text;
    ASSERT_EQ(describe(unfiltered_plan_decisions), describe(plain_decisions)) << text;

    ++tally.urls;
    tally.blocked += expected.categories != 0;
    for (const auto& d : plain_decisions)
        tally.suppressed += d.whitelist;
    for (const auto& e : filtered.keys())
        tally.ruled_out += e.filter == key_entry_t::filter_t::absent;
}

// --- The synthetic set -------------------------------------------------------

// Sources of several categories and whitelists with hosts at several levels,
// host/path keys, parameter conditions, address keys, IPv4 and IPv6 hosts and
// networks, patterns and notices; and URLs that hit them, miss them, or hit
// only a whitelist.
class synthetic_set_t {
public:
    explicit synthetic_set_t(const test::temp_dir_t& dir) : rng_(20261210)
    {
        const char* names[] = {"gamble", "porno", "piracy", "black_list", "malware"};
        std::map<std::string, std::string> sources;
        std::vector<std::string> gamble_hosts;
        for (unsigned db = 0; db < std::size(names); ++db) {
            std::string& src = sources[names[db]];
            src = std::string("name ") + names[db] + "\n";
            std::set<std::string> seen;
            const auto entry = [&](const std::string& line) {
                if (!seen.insert(line).second)
                    return;
                src += line + "\n";
                if (std::string_view(names[db]) == "piracy" && !line.starts_with("pattern"))
                    src += "notice https://legal.example/" + std::to_string(seen.size()) + "\n";
            };
            for (int i = 0; i < 300; ++i) {
                const std::string host = random_host(2 + rng_() % 4);
                const std::string path = random_path();
                switch (rng_() % 6) {
                case 0:
                case 1:
                    entry("url " + host);
                    hit("http://" + (rng_() % 2 ? word() + "." : "") + host + random_path());
                    if (db == 0)
                        gamble_hosts.push_back(host);
                    break;
                case 2:
                    entry("url " + host + path);
                    hit("http://" + host + path + random_path());
                    miss("http://" + host + "/" + word() + "?" + word());
                    break;
                case 3:
                    entry("params " + host + path + " a=1&b q=" + word());
                    hit("http://" + host + path + "?b&a=1&z=2");
                    miss("http://" + host + path + "?a=1");
                    break;
                case 4: {
                    const std::string net = std::to_string(db) + "." + std::to_string(i % 256) + ".";
                    const std::string v4 = "10." + net + std::to_string(rng_() % 256);
                    entry("address " + v4 + path);
                    hit("http://" + random_host(3) + path + "/x", {v4});
                    entry("ipv4 172." + net + "0/24");
                    hit("http://" + random_host(2) + "/", {"172." + net + "9"});
                    entry("ipv4 192.168." + std::to_string(i % 256) + "." + std::to_string(db));
                    hit("http://" + random_host(2) + "/", {"192.168." + std::to_string(i % 256) + "." + std::to_string(db)});
                    break;
                }
                case 5: {
                    const std::string v6 = "2001:db8:" + std::to_string(db) + ":" + std::to_string(i) + "::";
                    entry("ipv6 " + v6 + "/64");
                    hit("http://" + random_host(2) + "/", {v6 + "5"});
                    entry("ipv6 " + v6 + "77");
                    hit("http://" + random_host(2) + "/", {v6 + "77"});
                    entry("address [" + v6 + "1]" + path);
                    hit("http://" + random_host(2) + path, {v6 + "1"});
                    miss("http://" + random_host(2) + "/", {"2001:db8:ffff::" + std::to_string(i)});
                    break;
                }
                }
            }
            entry("url /" + path_word() + "/" + path_word()); // level 0: any host
            // Patterns in some databases only: a database with patterns is
            // entered for every URL, which would hide a wrongly skipped one.
            if (db % 2 == 1) {
                const std::string pattern = word() + word();
                entry("pattern " + pattern);
                hit("http://" + random_host(2) + "/x" + upper(pattern) + "y");
            }
        }
        // Host keys without paths, the pairs most databases share, beside
        // addresses and networks searched as they are: a URL with an address
        // must enter it even when none of its host keys got through.
        std::string& hosts = sources["violence"];
        hosts = "name violence\n";
        for (int i = 0; i < 100; ++i) {
            const std::string host = random_host(2 + rng_() % 3);
            hosts += "url " + host + "\n";
            hit("http://" + host + random_path());
        }
        hosts += "ipv4 198.51.100.0/24\nipv4 203.0.113.9\nipv6 2001:db8:beef::/48\nipv6 2001:db8:cafe::9\n";
        hit("http://" + random_host(2) + "/", {"198.51.100.20"});
        hit("http://" + random_host(2) + "/", {"203.0.113.9"});
        hit("http://" + random_host(2) + "/", {"2001:db8:beef:1::2"});
        hit("http://" + random_host(2) + "/", {"2001:db8:cafe::9"});
        miss("http://" + random_host(2) + "/", {"203.0.113.10", "2001:db8:cafe::10"});
        // Host keys and keys of addresses with paths (levels 255 and 254), and
        // nothing else.
        std::string& addressed = sources["drugs"];
        addressed = "name drugs\nurl " + random_host(3) + "\n";
        for (int i = 0; i < 20; ++i) {
            const std::string path = random_path();
            const std::string v4 = "198.18.0." + std::to_string(i), v6 = "2001:db8:d0::" + std::to_string(i);
            addressed += "address " + v4 + path + "\naddress [" + v6 + "]" + path + "\n";
            hit("http://" + random_host(2) + path + "/x", {v4});
            hit("http://" + random_host(2) + path, {v6});
            miss("http://" + random_host(2) + "/", {"198.18.1." + std::to_string(i)});
        }
        // Paths only, one per depth from 2 to 100 bytes, none of which the
        // others hold: more distinct pairs than the plan numbers, so that this
        // database is entered by the fallback. Hits at the depth, misses a byte
        // short of it.
        std::string& deep = sources["weapon"];
        deep = "name weapon\n";
        for (unsigned depth = 2; depth <= 100; ++depth) {
            const std::string host = random_host(2 + rng_() % 3);
            std::string path = "/";
            while (path.size() < depth)
                path += char('a' + rng_() % 26);
            deep += "url " + host + path + "\n";
            hit("http://" + host + path + (depth % 2 ? "" : "/more"));
            miss("http://" + host + path.substr(0, depth - 1));
        }
        // Whitelists: some gamble hosts as they are (a URL of theirs hits both,
        // the whitelist wins), some subdomains only, and hosts of no category.
        std::string& white = sources["whitelist_gamble"];
        white = "name whitelist_gamble\n";
        for (std::size_t i = 0; i < gamble_hosts.size(); i += 3) {
            const std::string sub = i % 2 ? gamble_hosts[i] : "www." + gamble_hosts[i];
            white += "url " + sub + "\n";
            hit("http://" + sub + "/page");
        }
        for (int i = 0; i < 50; ++i) {
            const std::string host = random_host(3);
            white += "url " + host + "\n";
            hit("http://" + host + "/");
        }
        sources["whitelist_porno"] = "name whitelist_porno\nurl " + random_host(2) + "\n";
        for (int i = 0; i < 5000; ++i)
            miss("http://" + random_host(1 + rng_() % 5) + random_path() + (i % 7 ? "" : "?q=" + word()));

        for (const auto& [name, text] : sources) {
            const std::string src = dir.file(name + ".txt");
            test::write_text(src, text);
            const auto r = nv::test::run_program(
                "nvs-tool", {"build", "--key", test::test_private_key_path(), src, dir.file("db/" + name + ".nvs")});
            EXPECT_EQ(r.exit_status, 0) << nv::test::describe(r);
        }
    }

    struct request_t {
        std::string text;
        address_set_t addresses;
    };
    const std::vector<request_t>& urls() const { return urls_; }

private:
    static std::string upper(std::string text)
    {
        for (char& c : text)
            c = char(c - 'a' + 'A');
        return text;
    }
    std::string word()
    {
        std::string w;
        for (std::size_t n = 2 + rng_() % 7; n > 0; --n)
            w += char('a' + rng_() % 26);
        return w;
    }
    std::string random_host(unsigned labels)
    {
        static const char* tlds[] = {"com", "org", "example", "fr"};
        std::string host = tlds[rng_() % std::size(tlds)];
        for (unsigned i = 1; i < labels; ++i)
            host = word() + "." + host;
        return host;
    }
    // Path segments of one length keep the (level, depth) pairs of the set
    // few, as in real lists: a check can then pass over databases by their
    // pairs, the "weapon" database aside.
    std::string path_word()
    {
        std::string w;
        for (int n = 0; n < 4; ++n)
            w += char('a' + rng_() % 26);
        return w;
    }
    std::string random_path()
    {
        std::string path;
        for (std::size_t n = rng_() % 3; n > 0; --n)
            path += "/" + path_word();
        return path;
    }
    void add(std::string text, std::vector<std::string> addresses)
    {
        request_t r{std::move(text), {}};
        for (const auto& a : addresses)
            r.addresses.insert(test::address(a));
        urls_.push_back(std::move(r));
    }
    void hit(std::string text, std::vector<std::string> addresses = {}) { add(std::move(text), std::move(addresses)); }
    void miss(std::string text, std::vector<std::string> addresses = {}) { add(std::move(text), std::move(addresses)); }

    std::mt19937_64 rng_;
    std::vector<request_t> urls_;
};

TEST(FilterDifferential, SyntheticSetBuiltByTheTool)
{
    test::temp_dir_t dir;
    std::filesystem::create_directory(dir.file("db"));
    const synthetic_set_t set(dir);
    async::engine_t::estate_t estate;
    ASSERT_NO_FATAL_FAILURE(load(estate, dir.file("db")));
    ASSERT_EQ(estate.files.size(), 10u);
    // The deep paths outnumber the pairs the plan can number: the database
    // holding them is entered whatever the filter says of its numbered pairs.
    const walk_plan_t& plan = *estate.walk;
    ASSERT_GT(plan.pairs().size(), index::context_t::slot_count);
    for (std::size_t i = 0; i < plan.files().size(); ++i) {
        const bool has_patterns = plan.files()[i]->patterns().size() != 0;
        const bool all_numbered = !has_patterns && plan.files()[i]->name() != "weapon";
        EXPECT_EQ((plan.file_keys()[i].other & walk_plan_t::always) == 0, all_numbered) << plan.files()[i]->name();
    }

    tally_t tally;
    for (const auto& request : set.urls()) {
        const url_t url(request.text, request.addresses);
        for (const category_set_t mask : {all_categories, category_set_t(1u << 5)})
            ASSERT_NO_FATAL_FAILURE(compare(estate, url, mask, tally));
    }
    // The stream hit, was suppressed by whitelists, and mostly missed.
    EXPECT_GT(tally.blocked, tally.urls / 10);
    EXPECT_LT(tally.blocked, tally.urls / 2);
    EXPECT_GT(tally.suppressed, 50u);
    EXPECT_GT(tally.ruled_out, tally.urls);

    // A reload that unloads a whitelist and a category database makes a plan
    // without them: what they decided is decided by the others now, alike.
    std::filesystem::remove(dir.file("db/whitelist_gamble.nvs"));
    std::filesystem::remove(dir.file("db/porno.nvs"));
    ASSERT_NO_FATAL_FAILURE(load(estate, dir.file("db")));
    ASSERT_EQ(estate.files.size(), 8u);
    ASSERT_EQ(estate.walk->files().size(), 8u);
    tally_t after;
    for (const auto& request : set.urls())
        ASSERT_NO_FATAL_FAILURE(compare(estate, url_t(request.text, request.addresses), all_categories, after));
    EXPECT_LT(after.suppressed, tally.suppressed);
    EXPECT_GT(after.blocked, 0u);
}

// --- Real lists ----------------------------------------------------------------

std::vector<std::string> lines_of(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

TEST(FilterDifferential, Ut1ListsAndRealUrlStreams)
{
    const std::string data = NORVA_SHARED_DATA_DIR;
    const std::string ut1 = data + "/ut1";
    if (!std::filesystem::is_directory(ut1) || !std::filesystem::exists(data + "/urls/kasztp.txt"))
        GTEST_SKIP() << "no UT1 lists or URL streams in " << data;

    // The lists as nvs-tool import reads them: LISTS/<folder>/domains.
    test::temp_dir_t dir;
    std::vector<std::string> domains;
    for (const auto& folder : std::filesystem::directory_iterator(ut1)) {
        const auto list = folder.path() / "domains";
        if (!std::filesystem::exists(list))
            continue;
        std::filesystem::create_directories(dir.file("lists") + "/" + folder.path().filename().string());
        std::filesystem::create_symlink(list, dir.file("lists") + "/" + folder.path().filename().string() + "/domains");
        const auto entries = lines_of(list.string());
        for (std::size_t i = 0; i < entries.size(); i += 20)
            domains.push_back(entries[i]);
    }
    const auto r = nv::test::run_program("nvs-tool", {"import", "--key", test::test_private_key_path(), "--output",
                                                      dir.file("nvs"), dir.file("lists")},
                                         std::chrono::seconds(120));
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);

    async::engine_t::estate_t estate;
    ASSERT_NO_FATAL_FAILURE(load(estate, dir.file("nvs")));
    ASSERT_GT(estate.files.size(), 5u);

    std::vector<std::string> urls = lines_of(data + "/urls/kasztp.txt");
    for (const auto& host : lines_of(data + "/urls/tranco-top10k.txt"))
        urls.push_back("http://" + host + "/");
    // Listed domains and their subdomains: hits.
    for (const auto& domain : domains) {
        urls.push_back("http://" + domain + "/");
        urls.push_back("https://www." + domain + "/some/page?x=1");
    }
    tally_t tally;
    for (const auto& text : urls) {
        std::optional<url_t> url;
        try {
            url.emplace(text);
        } catch (const std::exception&) {
            continue; // not a URL the daemon would check
        }
        ASSERT_NO_FATAL_FAILURE(compare(estate, *url, all_categories, tally));
    }
    EXPECT_GT(tally.urls, 50'000u);
    EXPECT_GT(tally.blocked, domains.size());
    EXPECT_GT(tally.ruled_out, tally.urls);
}

} // namespace
} // namespace nv::nvs
