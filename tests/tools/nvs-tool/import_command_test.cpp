// nvs-tool import as a process, over small squidGuard-style list folders made
// in a temporary directory; the imported databases are searched with the
// daemon's own lookup.
#include "nvs/file.h"
#include "nvs/index/context.h"
#include "nvs/url/url.h"
#include "tests/support/nvs_fixture.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace nv::nvs {
namespace {

using test::temp_dir_t;

nv::test::process_result_t tool(const std::vector<std::string>& args)
{
    return nv::test::run_program("nvs-tool", args, std::chrono::seconds(120));
}

std::string read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool matches(const file_t& file, const std::string& text)
{
    const url_t url(text);
    index::context_t context(url);
    return file.find(context).found;
}

// A folder of list folders in squidGuard's layout: LISTS/<folder>/domains and urls.
class lists_t {
public:
    lists_t() { ::mkdir(root().c_str(), 0755); }

    void add(const std::string& folder, const std::string& file, std::string_view text)
    {
        ::mkdir((root() + "/" + folder).c_str(), 0755);
        test::write_text(root() + "/" + folder + "/" + file, text);
    }
    std::string root() const { return temp_.file("lists"); }
    std::string out(const std::string& name) const { return temp_.file(name); }

private:
    temp_dir_t temp_;
};

constexpr std::string_view domains_text = "# gambling domains\n"
                                          "casino.example\n"
                                          "\n"
                                          "BET.Example\n"
                                          "   spaced.example  \n"
                                          "10.20.30.40\n"
                                          "xn--bcher-kva.example\n"
                                          "crlf.example\r\n"
                                          "bad.example/path\n"
                                          "casino.example\n";

constexpr std::string_view urls_text = "poker.example/play\n"
                                       "cards.example/a%20b\n"
                                       "whole.example/\n"
                                       "find.example/search?q=dice&lang=en\n"
                                       "frag.example/page.html#top\n"
                                       "two words.example/x\n"
                                       "/nohost\n"
                                       "http://scheme.example/x\n"
                                       "port.example:8080/x\n";

class ImportCommand : public testing::Test {
protected:
    void SetUp() override
    {
        lists.add("gambling", "domains", domains_text);
        lists.add("gambling", "urls", urls_text);
        lists.add("liste_blanche", "domains", "fair.casino.example\n");
        lists.add("hacking", "domains", "hack.example\n");
    }

    nv::test::process_result_t import(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"import", "--key", test::test_private_key_path(), "--output",
                                         lists.out("nvs"), "--sources", lists.out("src")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(lists.root());
        return tool(args);
    }

    lists_t lists;
};

TEST_F(ImportCommand, DomainsAndUrlsMatchAsSquidGuardListsPromise)
{
    const auto r = import();
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    const std::string dir = lists.root() + "/gambling/";
    // Comments and blank lines are not entries; the repeated casino.example is one record.
    EXPECT_NE(r.out.find(dir + "domains -> gamble: 8 entries, 6 stored, 1 duplicates, 0 as parameter conditions, "
                               "0 without fragment, 1 refused\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(dir + "urls -> gamble: 9 entries, 5 stored, 0 duplicates, 1 as parameter conditions, "
                               "1 without fragment, 4 refused\n"),
              std::string::npos)
        << r.out;
    // Every refused entry is named with its place.
    for (const char* refused : {"domains:9: bad.example/path", "urls:6: two words.example/x", "urls:7: /nohost",
                                "urls:8: http://scheme.example/x", "urls:9: port.example:8080/x"}) {
        SCOPED_TRACE(refused);
        EXPECT_NE(r.err.find("refused: " + dir + refused + ": "), std::string::npos) << r.err;
    }

    const file_t gamble(lists.out("nvs") + "/gamble.nvs");
    const struct {
        const char* url;
        bool found;
    } rows[] = {
        {"http://casino.example/", true},
        {"http://casino.example", true},
        {"https://www.casino.example/any/path?x=1", true}, // every subdomain, every path
        {"http://notcasino.example/", false},              // whole labels only
        {"http://casino.example.org/", false},
        {"http://bet.example/", true}, // the entry was written in mixed case
        {"http://WWW.BET.EXAMPLE/x", true},
        {"http://spaced.example/", true},
        {"http://10.20.30.40/x", true}, // an IPv4 literal is a host
        {"http://10.20.30.41/", false},
        {"http://xn--bcher-kva.example/", true}, // Punycode, either spelling
        {"http://bücher.example/", true},
        {"http://shop.bücher.example/", true},
        {"http://crlf.example/", true},
        {"http://bad.example/path", false}, // refused
        {"http://poker.example/play", true},
        {"http://poker.example/play/more.html", true}, // path prefix
        {"http://poker.example/pla", false},
        {"http://poker.example/", false},
        {"http://cards.example/a%20b/c", true}, // percent escapes, either spelling
        {"http://cards.example/a b", true},
        {"http://cards.example/a", false},
        {"http://whole.example", true}, // "host/" is the whole host
        {"http://whole.example/x", true},
        {"http://find.example/search?lang=en&q=dice", true}, // the query as a parameter condition
        {"http://find.example/search?q=dice", false},
        {"http://find.example/search", false},
        {"http://frag.example/page.html", true}, // stored without its fragment
        {"http://frag.example/page.html#top", true},
        {"http://frag.example/other.html", false},
        {"http://words.example/x", false},
        {"http://scheme.example/x", false},
        {"http://port.example/x", false},
        {"http://hack.example/", false}, // an unmapped folder
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        EXPECT_EQ(matches(gamble, row.url), row.found);
    }
}

TEST_F(ImportCommand, AllowListBecomesAWhitelistOfEveryMappedCategory)
{
    const auto r = import();
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    EXPECT_NE(r.out.find(lists.root() + "/hacking: not in the map, skipped"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("phishing: mapped but not found"), std::string::npos) << r.out;
    for (const char* category : {"porno", "violence", "chats", "miners", "drugs", "gamble", "online_games",
                                 "headhunters", "malware", "social_engineering", "socialnetwork", "anonymizer",
                                 "piracy", "e-mail"}) {
        SCOPED_TRACE(category);
        const std::string path = lists.out("nvs") + "/whitelist_" + category + ".nvs";
        ASSERT_TRUE(exists(path));
        const file_t white(path);
        EXPECT_TRUE(white.whitelist());
        EXPECT_TRUE(matches(white, "http://fair.casino.example/"));
        EXPECT_FALSE(matches(white, "http://casino.example/"));
    }
    EXPECT_FALSE(exists(lists.out("nvs") + "/porno.nvs")); // no list feeds it
}

TEST_F(ImportCommand, SourcesBuildTheSameDatabase)
{
    const auto r = import({"--date", "2026-01-02 03:04:05"});
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    const std::string source = lists.out("src") + "/gamble.txt";
    EXPECT_NE(read_all(source).find("\nname gamble\ndate 2026-01-02 03:04:05\n"), std::string::npos);
    const std::string rebuilt = lists.out("rebuilt.nvs");
    const auto b = tool({"build", "--key", test::test_private_key_path(), source, rebuilt});
    ASSERT_EQ(b.exit_status, 0) << nv::test::describe(b);
    const std::string imported = read_all(lists.out("nvs") + "/gamble.nvs"), built = read_all(rebuilt);
    ASSERT_EQ(imported.size(), built.size());
    // Signatures differ from one signing to the next; everything they cover is the same.
    EXPECT_EQ(imported.substr(0, imported.size() - 40), built.substr(0, built.size() - 40));
}

TEST_F(ImportCommand, MapFiles)
{
    const struct {
        const char* map;
        int status;
        const char* expected; // on standard error for a refused map, else a database written
    } rows[] = {
        {"gambling gamble\nliste_blanche whitelist\n", 0, "whitelist_gamble.nvs"},
        {"# comment\ngambling   porno\nliste_blanche whitelist_drugs\n", 0, "whitelist_drugs.nvs"},
        {"gambling gambling\n", 1, "map.txt:1: unknown category \"gambling\""},
        {"\ngambling\n", 1, "map.txt:2: expected \"FOLDER CATEGORY\""},
        {"liste_blanche whitelist\n", 1, "but no category is mapped"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.map);
        lists_t fresh;
        fresh.add("gambling", "domains", "casino.example\n");
        fresh.add("liste_blanche", "domains", "fair.casino.example\n");
        const std::string map = fresh.out("map.txt");
        test::write_text(map, row.map);
        const auto r = tool({"import", "--map", map, "--key", test::test_private_key_path(), "--output",
                             fresh.out("nvs"), fresh.root()});
        EXPECT_EQ(r.exit_status, row.status) << nv::test::describe(r);
        if (row.status == 0)
            EXPECT_TRUE(exists(fresh.out("nvs") + "/" + row.expected));
        else
            EXPECT_NE(r.err.find(row.expected), std::string::npos) << r.err;
    }
}

TEST(ImportCommandUsage, RefusesIncompleteCommands)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"import"},
                                                 std::vector<std::string>{"import", "/tmp"},
                                                 std::vector<std::string>{"import", "--output", "/tmp/x", "/tmp"}}) {
        const auto r = tool(args);
        EXPECT_EQ(r.exit_status, 2) << nv::test::describe(r);
    }
    const auto r = tool({"import", "--show-map"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("phishing            social_engineering"), std::string::npos) << r.out;
}

// Every real UT1 cryptojacking domain, imported, matches itself and its
// subdomains through the daemon's lookup: the keys of real entries agree.
TEST(ImportCommandRealData, EveryDomainEntryMatchesItselfAndItsSubdomains)
{
    const std::string list = std::string(NORVA_SHARED_DATA_DIR) + "/ut1/cryptojacking/domains";
    if (!exists(list))
        GTEST_SKIP() << list << " is not there";
    lists_t lists;
    lists.add("cryptojacking", "domains", read_all(list));
    const auto r = tool({"import", "--key", test::test_private_key_path(), "--output", lists.out("nvs"), lists.root()});
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    const file_t miners(lists.out("nvs") + "/miners.nvs");
    std::istringstream in(read_all(list));
    unsigned checked = 0;
    for (std::string entry; std::getline(in, entry);) {
        if (entry.empty() || entry[0] == '#')
            continue;
        SCOPED_TRACE(entry);
        ASSERT_TRUE(matches(miners, "http://" + entry + "/"));
        ASSERT_TRUE(matches(miners, "https://sub." + entry + "/p?q=1"));
        ++checked;
    }
    EXPECT_GT(checked, 1000u);
}

} // namespace
} // namespace nv::nvs
