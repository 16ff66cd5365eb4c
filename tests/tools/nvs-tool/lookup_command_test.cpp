// nvs-tool lookup as a process, over databases made by nvs-tool build: what
// decided each URL, as text and as JSON lines.
#include "nvs/file.h"
#include "nvs/index/context.h"
#include "nvs/index/keys.h"
#include "tests/support/nvs_fixture.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <json.h>
#include <sys/stat.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace nv::nvs {
namespace {

using test::temp_dir_t;

nv::test::process_result_t tool(const std::vector<std::string>& args)
{
    return nv::test::run_program("nvs-tool", args);
}

// A directory of databases built from sources by the real tool.
class databases_t {
public:
    databases_t() { ::mkdir(dir().c_str(), 0755); }

    void add(const std::string& name, std::string_view source)
    {
        const std::string src = temp_.file(name + ".txt");
        test::write_text(src, source);
        const auto r = tool({"build", "--key", test::test_private_key_path(), src, file(name + ".nvs")});
        ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    }
    std::string dir() const { return temp_.file("dbs"); }
    std::string file(const std::string& name) const { return dir() + "/" + name; }

    nv::test::process_result_t lookup(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"lookup", "--dir", dir()});
        return tool(args);
    }

private:
    temp_dir_t temp_;
};

struct json_deleter_t {
    void operator()(json_value* v) const { json_value_free(v); }
};
using json_t = std::unique_ptr<json_value, json_deleter_t>;

json_t parse(const std::string& line)
{
    json_t v(json_parse(line.data(), line.size()));
    EXPECT_TRUE(v && v->type == json_object) << line;
    return v;
}

const json_value* member(const json_value& object, std::string_view name)
{
    for (unsigned i = 0; i < object.u.object.length; ++i)
        if (std::string_view(object.u.object.values[i].name, object.u.object.values[i].name_length) == name)
            return object.u.object.values[i].value;
    return nullptr;
}

std::string string_of(const json_value* v) { return v && v->type == json_string ? std::string(v->u.string.ptr, v->u.string.length) : "<none>"; }

std::vector<long long> numbers_of(const json_value* v)
{
    std::vector<long long> out;
    if (v && v->type == json_array)
        for (unsigned i = 0; i < v->u.array.length; ++i)
            out.push_back(v->u.array.values[i]->u.integer);
    return out;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct match_row_t {
    std::string category;
    std::string file;
    long long record_offset;
    bool whitelist;
    friend bool operator==(const match_row_t&, const match_row_t&) = default;
};

std::ostream& operator<<(std::ostream& out, const match_row_t& m)
{
    return out << "{" << m.category << ", " << m.file << ", " << m.record_offset << ", " << m.whitelist << "}";
}

std::vector<match_row_t> matches_of(const json_value& object)
{
    std::vector<match_row_t> out;
    const json_value* matches = member(object, "matches");
    if (!matches || matches->type != json_array)
        return out;
    for (unsigned i = 0; i < matches->u.array.length; ++i) {
        const json_value& m = *matches->u.array.values[i];
        const json_value* offset = member(m, "record_offset");
        const json_value* white = member(m, "whitelist");
        out.push_back({string_of(member(m, "category")), string_of(member(m, "file")),
                       offset && offset->type == json_integer ? offset->u.integer : -1,
                       white && white->type == json_boolean && white->u.boolean});
    }
    return out;
}

// The record offset the library finds for the URL in one database file.
long long offset_in(const std::string& path, const char* url_text)
{
    const file_t file(path);
    const url_t url(url_text);
    index::context_t context(url);
    const auto match = file.find(context);
    return match.found ? match.record_offset : -1;
}

class LookupCommand : public testing::Test {
protected:
    void SetUp() override
    {
        dbs.add("gamble", "name gamble\nurl casino.example\npattern roulette\n");
        dbs.add("whitelist_gamble", "name whitelist_gamble\nurl casino.example/responsible\n");
        dbs.add("online_games", "name online_games\nurl casino.example\n");
        dbs.add("black_list", "name black_list\nurl casino.example\nipv4 203.0.113.0/24\n");
        dbs.add("piracy", "name piracy\nurl casino.example/films\nnotice https://store.example/films\n"
                          "url free.example\nnotice-json {}\n");
        dbs.add("whitelist_piracy", "name whitelist_piracy\nurl free.example/ok\n");
    }

    databases_t dbs;
};

TEST_F(LookupCommand, JsonLinesInArgumentOrder)
{
    const char* urls[] = {
        "http://www.casino.example/films/x",
        "http://casino.example/responsible/y",
        "http://other.example/",
        "http://free.example/a",
        "http://free.example/ok",
        "http://x.example/ROULETTE",
    };
    std::vector<std::string> args = {"--json"};
    args.insert(args.end(), std::begin(urls), std::end(urls));
    const auto r = dbs.lookup(args);
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    EXPECT_EQ(r.err, "");
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), std::size(urls)) << r.out;

    const std::string gamble = dbs.file("gamble.nvs"), games = dbs.file("online_games.nvs"),
                      black = dbs.file("black_list.nvs"), piracy = dbs.file("piracy.nvs");
    const struct {
        std::vector<long long> categories; // nv.UrlCategory in the fixed list order
        std::string legal_url;             // "<none>": the member is absent
        std::vector<match_row_t> matches;
    } expected[] = {
        // Gambling (6), online games (14), owner's notice (13), black list (20): 14 is listed before 13.
        {{6, 14, 13, 20},
         "https://store.example/films",
         {{"gamble", gamble, offset_in(gamble, urls[0]), false},
          {"piracy", piracy, offset_in(piracy, urls[0]), false},
          {"online_games", games, offset_in(games, urls[0]), false},
          {"black_list", black, offset_in(black, urls[0]), false}}},
        // The gambling whitelist suppresses gambling only.
        {{14, 20},
         "<none>",
         {{"gamble", dbs.file("whitelist_gamble.nvs"), offset_in(dbs.file("whitelist_gamble.nvs"), urls[1]), true},
          {"online_games", games, offset_in(games, urls[1]), false},
          {"black_list", black, offset_in(black, urls[1]), false}}},
        {{}, "<none>", {}},
        // An empty notice object: found, without a legal URL.
        {{13}, "<none>", {{"piracy", piracy, offset_in(piracy, urls[3]), false}}},
        {{},
         "<none>",
         {{"piracy", dbs.file("whitelist_piracy.nvs"), offset_in(dbs.file("whitelist_piracy.nvs"), urls[4]), true}}},
        {{6}, "<none>", {{"gamble", gamble, offset_in(gamble, urls[5]), false}}},
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const json_t line = parse(lines[i]);
        ASSERT_TRUE(line);
        EXPECT_EQ(string_of(member(*line, "url")), url_t(urls[i]).str(url_t::format_t::escaped));
        EXPECT_EQ(numbers_of(member(*line, "categories")), expected[i].categories);
        EXPECT_EQ(string_of(member(*line, "legal_url")), expected[i].legal_url);
        EXPECT_EQ(matches_of(*line), expected[i].matches);
        for (const auto& m : expected[i].matches)
            EXPECT_GE(m.record_offset, 0);
        EXPECT_EQ(member(*line, "host_keys"), nullptr);
    }
}

TEST_F(LookupCommand, CategoriesAndAddressesNarrowAndWiden)
{
    const struct {
        std::vector<std::string> args;
        std::vector<long long> categories;
    } rows[] = {
        {{"--category", "black_list", "http://casino.example/"}, {20}},
        {{"--category", "gamble", "--category", "piracy", "http://casino.example/films"}, {6, 13}},
        {{"--category", "miners", "http://casino.example/"}, {}},
        {{"http://elsewhere.example/"}, {}},
        {{"--address", "203.0.113.7", "http://elsewhere.example/"}, {20}},
        {{"--address", "::1", "--address", "203.0.113.7", "--category", "gamble", "http://elsewhere.example/"}, {}},
    };
    for (const auto& row : rows) {
        auto args = row.args;
        args.insert(args.begin(), "--json");
        const auto r = dbs.lookup(args);
        SCOPED_TRACE(r.out);
        ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
        const json_t line = parse(r.out);
        ASSERT_TRUE(line);
        EXPECT_EQ(numbers_of(member(*line, "categories")), row.categories);
    }
}

TEST_F(LookupCommand, KeysShowWhatWasTried)
{
    const auto r = dbs.lookup({"--json", "--keys", "--category", "gamble", "http://a.casino.example/x"});
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    const json_t line = parse(r.out);
    ASSERT_TRUE(line);
    const json_value* keys = member(*line, "host_keys");
    ASSERT_TRUE(keys && keys->type == json_array) << r.out;
    // The gamble database holds one level 2, depth 0 key: that is the only one tried.
    ASSERT_EQ(keys->u.array.length, 1u) << r.out;
    const json_value& key = *keys->u.array.values[0];
    EXPECT_EQ(member(key, "level")->u.integer, 2);
    EXPECT_EQ(member(key, "depth")->u.integer, 0);
    const auto md5 = index::md5_of("casino.example");
    std::string hex;
    for (const auto b : md5) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    EXPECT_EQ(string_of(member(key, "key")), hex);
    const json_value* addresses = member(*line, "address_keys");
    ASSERT_TRUE(addresses && addresses->type == json_array);
    EXPECT_EQ(addresses->u.array.length, 0u);
}

TEST_F(LookupCommand, TextReport)
{
    const auto r = dbs.lookup({"--keys", "http://www.casino.example/films/x", "http://other.example/"});
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    const std::string& out = r.out;
    EXPECT_NE(out.find("http://www.casino.example/films/x\n  categories: Gambling, Online games, "
                       "Copyright owner's notice, Black list\n  legal URL: https://store.example/films\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  gamble: found in " + dbs.file("gamble.nvs") + " at record offset "), std::string::npos) << out;
    EXPECT_NE(out.find("  host key level 2 depth 0: "), std::string::npos) << out;
    EXPECT_NE(out.find("http://other.example/\n  categories: none\n"), std::string::npos) << out;
}

TEST_F(LookupCommand, DamagedDatabaseIsReportedAndTheOthersServe)
{
    test::write_text(dbs.file("broken.NVS"), "not a database");
    test::write_text(dbs.file("notes.txt"), "ignored");
    const auto r = dbs.lookup({"--json", "http://casino.example/"});
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    EXPECT_NE(r.err.find("Cannot load NVS database \"" + dbs.file("broken.NVS") + "\": Bad file format"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("notes.txt"), std::string::npos) << r.err;
    const json_t line = parse(r.out);
    ASSERT_TRUE(line);
    EXPECT_EQ(numbers_of(member(*line, "categories")), (std::vector<long long>{6, 14, 20}));
}

TEST(LookupCommandErrors, UsageAndDirectoryFaults)
{
    temp_dir_t dir;
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } rows[] = {
        {{"lookup", "http://a/"}, 2, "no database directory given"},
        {{"lookup", "--dir", dir.path()}, 2, "no URL given"},
        {{"lookup", "--dir", dir.path(), "--category", "casino", "http://a/"}, 2, "unknown category \"casino\""},
        {{"lookup", "--dir", dir.path(), "--address", "10.0.0", "http://a/"}, 2, "not an IP address: \"10.0.0\""},
        {{"lookup", "--dir", dir.path(), "--bogus", "http://a/"}, 2, "unknown option \"--bogus\""},
        {{"lookup", "--dir"}, 2, "--dir needs a value"},
        {{"lookup", "--dir", dir.file("missing"), "http://a/"}, 1, "is not a readable directory"},
    };
    for (const auto& row : rows) {
        const auto r = tool(row.args);
        SCOPED_TRACE(nv::test::describe(r));
        EXPECT_EQ(r.exit_status, row.status);
        EXPECT_NE(r.err.find(row.message), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
} // namespace nv::nvs
