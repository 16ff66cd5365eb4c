// The keys a lookup context computes for a URL, and which of them a search tries.
#include "nvs/file.h"
#include "nvs/index/context.h"
#include "nvs/key_filter.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

namespace nv::nvs {
namespace {

using index::md5_of;
using test::host_record;
using key_entry_t = index::context_t::key_entry_t;
using tried_t = std::tuple<key_entry_t::kind_t, unsigned, unsigned, index::md5_key_t>;

// The keys the context computed: kind, level, depth and key, in search order.
std::vector<tried_t> tried_keys(const index::context_t& context)
{
    std::vector<tried_t> tried;
    for (const auto& e : context.keys())
        tried.emplace_back(e.kind, e.level, e.depth, e.key);
    std::sort(tried.begin(), tried.end());
    return tried;
}

TEST(LookupKeys, HostKeysOfHostSuffixAndPathPrefix)
{
    const url_t url("http://a.b.c/x/y");
    index::context_t context(url);
    EXPECT_EQ(context.label_count(), 3u);
    const struct {
        unsigned level, depth;
        const char* hashed;
    } rows[] = {
        {2, 2, "b.c/x"},
        {5, 9, "a.b.c/x/y"},
        {3, 4, "a.b.c/x/y"},
        {1, 0, "c"},
        {0, 2, "/x"},
        {0, 0, ""},
        {3, 1, "a.b.c/"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "level " << row.level << " depth " << row.depth);
        EXPECT_EQ(context.host_key(row.level, row.depth), md5_of(row.hashed));
    }
}

TEST(LookupKeys, HostEdgesAndLabelCounts)
{
    const struct {
        const char* host;
        unsigned labels;
        unsigned level;
        const char* hashed; // with the path "/p" at depth 2
    } rows[] = {
        {"", 0, 3, "/p"},
        {"h", 1, 1, "h/p"},
        {"h", 1, 2, "h/p"},
        // The first character is never a separator: a scan that reaches it takes the whole host.
        {".a", 2, 1, ".a/p"},
        {".a", 2, 2, ".a/p"},
        {".a.b", 3, 1, "b/p"},
        {".a.b", 3, 2, ".a.b/p"},
        {"a..b", 3, 2, ".b/p"},
        // Hosts longer than a word, counted eight bytes at a time: dots on
        // either side of a word boundary, only dots, and bytes that are a dot
        // with the high bit set (0xAE) or other non-ASCII bytes.
        {"a.b.c.d.e.f.g.h.i.j", 10, 2, "i.j/p"},
        {"abcdefg.hijklmno.pqrstuvw.x", 4, 3, "hijklmno.pqrstuvw.x/p"},
        {".........", 10, 2, "./p"},
        {"\xae\xae\xae\xae\xae\xae\xae\xae.\xc3\xa9", 2, 1, "\xc3\xa9/p"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        const url_t url("", "", "", row.host, "/p", {}, "", std::nullopt, {});
        index::context_t context(url);
        EXPECT_EQ(context.label_count(), row.labels);
        EXPECT_EQ(context.host_key(row.level, 2), md5_of(row.hashed));
    }
}

TEST(LookupKeys, AddressKeysOfAddressBytesAndPathPrefix)
{
    const url_t url("http://h/x/y");
    index::context_t context(url);
    const auto v4 = test::address("10.1.2.3");
    const auto v6 = test::address("2001:db8::1");
    const std::uint8_t v4_bytes[] = {10, 1, 2, 3};
    EXPECT_EQ(context.address_key(v4, 0), md5_of(std::span<const std::uint8_t>(v4_bytes)));
    EXPECT_EQ(context.address_key(v4, 3), md5_of(std::span<const std::uint8_t>(v4_bytes), test::bytes_of("/x/")));
    EXPECT_EQ(context.address_key(v4, 99), md5_of(std::span<const std::uint8_t>(v4_bytes), test::bytes_of("/x/y")));
    EXPECT_EQ(context.address_key(v6, 2), md5_of(v6.bytes(), test::bytes_of("/x")));
}

TEST(LookupKeys, ParameterKeysOfPlainTexts)
{
    const struct {
        const char* url;
        std::vector<const char*> texts;
    } rows[] = {
        {"http://h/?a=1&b&c=", {"a=1", "b", "c"}},
        {"http://h/?a=1&a=1&b", {"a=1", "b"}},
        {"http://h/", {}},
        // Keys are made from the decoded text.
        {"http://h/?n%20m=%41", {"n m=A"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        const url_t url(row.url);
        index::context_t context(url);
        std::set<index::md5_key_t> expected;
        for (const auto* text : row.texts)
            expected.insert(md5_of(text));
        const auto keys = context.parameter_keys();
        EXPECT_EQ(std::vector(keys.begin(), keys.end()), std::vector(expected.begin(), expected.end()));
        for (const auto& key : expected)
            EXPECT_TRUE(context.has_parameter_key(key.data()));
        EXPECT_FALSE(context.has_parameter_key(md5_of("absent=1").data()));
    }
}

// Levels above the label count and depths above the path length are never
// hashed nor tried, even where their clipped key would be equal to a stored one.
TEST(LookupKeys, OnlyLevelsAndDepthsWithinTheUrlAreTried)
{
    test::temp_dir_t dir;
    test::database_spec_t spec;
    spec.urls = {
        host_record(3, 0, "b.c"),     // level above 2 labels: its clipped key would be this one
        host_record(2, 5, "b.c/x/y"), // depth above the path length 4: same
        host_record(2, 4, "zzz"),
        host_record(1, 1, "zzz"),
    };
    test::write_database(dir.file("a.nvs"), spec);
    const file_t file(dir.file("a.nvs"));

    const url_t url("http://b.c/x/y");
    index::context_t context(url);
    EXPECT_FALSE(file.find(context).found);
    const std::vector<tried_t> tried = {
        {key_entry_t::kind_t::host, 1, 1, md5_of("c/")},
        {key_entry_t::kind_t::host, 2, 4, md5_of("b.c/x/y")},
    };
    EXPECT_EQ(tried_keys(context), tried);
}

TEST(LookupKeys, EmptyHostTriesLevelZeroOnly)
{
    test::temp_dir_t dir;
    test::database_spec_t spec;
    spec.urls = {host_record(1, 2, "/x"), host_record(2, 2, "/x")};
    test::write_database(dir.file("a.nvs"), spec);
    const file_t file(dir.file("a.nvs"));

    const url_t url("", "", "", "", "/x", {}, "", std::nullopt, {});
    index::context_t context(url);
    EXPECT_FALSE(file.find(context).found);
    EXPECT_TRUE(context.keys().empty());

    spec.urls.push_back(host_record(0, 2, "/x"));
    test::write_database(dir.file("b.nvs"), spec);
    EXPECT_TRUE(file_t(dir.file("b.nvs")).find(context).found);
}

// More keys than the context keeps in place: every key stays right and is
// still computed once.
TEST(LookupKeys, ManyKeysBeyondTheInlineCache)
{
    std::string path = "/";
    for (int i = 0; i < 80; ++i)
        path += char('a' + i % 26);
    const std::string host = "a.b.c.d.e";
    const url_t url("", "", "", host, path, {}, "", std::nullopt, {});
    index::context_t context(url);
    const auto v6 = test::address("2001:db8::1");
    for (int round = 0; round < 2; ++round)
        for (unsigned depth = 0; depth <= 40; ++depth)
            for (unsigned level = 1; level <= 5; ++level) {
                SCOPED_TRACE(testing::Message() << "level " << level << " depth " << depth);
                ASSERT_EQ(context.host_key(level, depth),
                          md5_of(index::host_suffix(host, level), std::string_view(path).substr(0, depth)));
                ASSERT_EQ(context.address_key(v6, depth), md5_of(v6.bytes(), test::bytes_of(path.substr(0, depth))));
            }
    EXPECT_EQ(context.keys().size(), 41u * 5 + 41);
}

// With a key filter, a key no database holds is answered once and remembered;
// a key a database holds is handed out for the search.
TEST(LookupKeys, FilterRulesOutKeysNoDatabaseHolds)
{
    test::temp_dir_t dir;
    test::database_spec_t spec;
    spec.urls = {host_record(2, 0, "b.c")};
    test::write_database(dir.file("a.nvs"), spec);
    const auto file = std::make_shared<const file_t>(dir.file("a.nvs"));
    const auto filter = key_filter_t::of_files({file});

    const url_t url("http://a.b.c/x");
    index::context_t context(url, &filter);
    EXPECT_EQ(context.host_key_to_search(2, 0), md5_of("b.c"));
    for (int round = 0; round < 3; ++round)
        EXPECT_EQ(context.host_key_to_search(3, 0), std::nullopt);
    ASSERT_EQ(context.keys().size(), 2u);
    for (const auto& e : context.keys())
        EXPECT_EQ(e.filter, e.level == 2 ? key_entry_t::filter_t::possible : key_entry_t::filter_t::absent);
    // The plain accessor still gives the key of a ruled-out pair.
    EXPECT_EQ(context.host_key(3, 0), md5_of("a.b.c"));
    EXPECT_TRUE(file->find(context).found);

    index::context_t unfiltered(url);
    EXPECT_EQ(unfiltered.host_key_to_search(3, 0), md5_of("a.b.c"));
}

} // namespace
} // namespace nv::nvs
