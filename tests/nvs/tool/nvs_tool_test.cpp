// nvs-tool as a process: the commands users run, their messages and exit statuses.
#include "nvs/file.h"
#include "nvs/index/bignum.h"
#include "nvs/index/cursor.h"
#include "nvs/index/keys.h"
#include "tests/support/nvs_fixture.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace nv::nvs {
namespace {

using test::temp_dir_t;

nv::test::process_result_t tool(std::vector<std::string> args)
{
    return nv::test::run_program("nvs-tool", args);
}

std::string hex(const index::md5_key_t& key)
{
    std::string out;
    char b[3];
    for (const auto byte : key) {
        std::snprintf(b, sizeof b, "%02x", byte);
        out += b;
    }
    return out;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Builds the source with the test key; expects success.
std::string build(const temp_dir_t& dir, std::string_view source, const std::string& name = "db")
{
    const std::string src = dir.file(name + ".txt"), out = dir.file(name + ".nvs");
    test::write_text(src, source);
    const auto r = tool({"build", "--key", test::test_private_key_path(), src, out});
    EXPECT_EQ(r.exit_status, 0) << nv::test::describe(r);
    return out;
}

const std::uint8_t* find_url_record(const index::url_t& reader, unsigned level, unsigned depth,
                                    const index::md5_key_t& key)
{
    const auto groups = reader.groups();
    const auto l = groups.find(level);
    if (l == groups.end())
        return nullptr;
    const auto d = l->second.find(depth);
    if (d == l->second.end())
        return nullptr;
    for (std::uint32_t i = 0; i < d->second.count; ++i) {
        const auto* r = d->second.first + std::size_t(i) * reader.record_size();
        if (std::equal(key.begin(), key.end(), index::record_key(r)))
            return r;
    }
    return nullptr;
}

TEST(NvsTool, KeygenBuildDumpVerifyAsDocumented)
{
    temp_dir_t dir;
    const std::string priv = dir.file("my-private.pem"), pub = dir.file("my-public.pem");
    auto r = tool({"keygen", priv, pub});
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);

    // Standard PEM of the expected sizes, the private part readable only by its owner.
    const auto key = index::dsa_key_t::read_private_pem(priv);
    EXPECT_EQ(BN_num_bits(key.p()), 512);
    EXPECT_EQ(BN_num_bits(key.q()), 160);
    EXPECT_EQ(BN_cmp(index::dsa_key_t::read_public_pem(pub).y(), key.y()), 0);
    struct stat st {};
    ASSERT_EQ(::stat(priv.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    if (exists("/usr/bin/openssl")) {
        nv::test::process_options_t o;
        o.program = "/usr/bin/openssl";
        o.argv = {"openssl", "dsa", "-in", priv, "-text", "-noout"};
        const auto text = nv::test::run_process(o);
        EXPECT_EQ(text.exit_status, 0) << nv::test::describe(text);
        EXPECT_NE(text.out.find("Private-Key: (512 bit)"), std::string::npos) << text.out;
    }
    // Never over an existing key.
    r = tool({"keygen", priv, dir.file("other.pem")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("File exists"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir.file("other.pem")));

    const std::string source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\npattern jackpot\n";
    test::write_text(dir.file("gamble.txt"), source);

    // Signed with the new key: the daemon (built with the test key) refuses it.
    r = tool({"build", "--key", priv, dir.file("gamble.txt"), dir.file("mine.nvs")});
    ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
    r = tool({"verify", dir.file("mine.nvs")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, dir.file("mine.nvs") + ": Bad file signature\n");

    // Signed with the test key: accepted.
    const std::string good = build(dir, source, "gamble");
    r = tool({"verify", good});
    EXPECT_EQ(r.exit_status, 0) << nv::test::describe(r);
    EXPECT_EQ(r.out, good + ": OK, 2 records\n");
    EXPECT_EQ(r.err, "");

    r = tool({"dump", good});
    EXPECT_EQ(r.exit_status, 0) << nv::test::describe(r);
    for (const char* line : {"date: 2026-01-15 12:00:00\n", "name: \"gamble\"\n", "category: gamble (bit 5)\n",
                             "whitelist: no\n", "records: 2\n", "section 1 (patterns): offset ", ", 1 records\n",
                             "section 4 (urls): offset "})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " not in\n" << r.out;
    EXPECT_EQ(r.out.find("jackpot"), std::string::npos);
    r = tool({"dump", "--records", good});
    EXPECT_NE(r.out.find("\"jackpot\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("level 2 depth 0 key " + hex(index::md5_of("casino.example"))), std::string::npos) << r.out;
}

TEST(NvsTool, VerifyReportsEachFileAndFailsIfAnyIsBad)
{
    temp_dir_t dir;
    const std::string good = build(dir, "name porno\nurl a.example\nurl b.example\nipv4 192.0.2.1\n");
    test::write_text(dir.file("empty.nvs"), "");
    test::write_file(dir.file("short.nvs"), test::bytes_t(57, 0));
    auto corrupt = test::database({{2, test::bytes_t{1, 2, 3, 4}}});
    corrupt[20] ^= 0x10;
    test::write_file(dir.file("corrupt.nvs"), corrupt);

    const struct {
        std::string path;
        std::string message; // empty: good
    } rows[] = {
        {good, ""},
        {dir.file("empty.nvs"), "mmap: Invalid argument"},
        {dir.file("missing.nvs"), "open: No such file or directory"},
        {dir.file("short.nvs"), "Bad file format"},
        {dir.file("corrupt.nvs"), "Bad file signature"},
    };
    std::vector<std::string> all;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        all.push_back(row.path);
        const auto r = tool({"verify", row.path});
        if (row.message.empty()) {
            EXPECT_EQ(r.exit_status, 0);
            EXPECT_EQ(r.out, row.path + ": OK, 3 records\n");
        } else {
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, row.path + ": " + row.message + "\n");
        }
    }
    const auto r = tool({"verify", good, good});
    EXPECT_EQ(r.exit_status, 0);
    const auto mixed = tool([&] { std::vector<std::string> a{"verify"}; a.insert(a.end(), all.begin(), all.end()); return a; }());
    EXPECT_EQ(mixed.exit_status, 1);
    EXPECT_EQ(mixed.out, good + ": OK, 3 records\n");
    EXPECT_EQ(std::count(mixed.err.begin(), mixed.err.end(), '\n'), 4);
    EXPECT_EQ(tool({"verify"}).exit_status, 2);
}

TEST(NvsTool, EntriesAreReadAsTheDaemonReadsUrls)
{
    temp_dir_t dir;
    const std::string out = build(dir,
                                  "# comment\n"
                                  "name black_list\n"
                                  "url ExAmple.COM/a%20b\n"
                                  "url xn--bcher-kva.example\n"
                                  "url /only/a/path\n"
                                  "url one.two.three.example/\n"
                                  "address 192.0.2.10/admin\n"
                                  "address [2001:db8::1]\n"
                                  "params search.example/find q=casino&lang=en q=poker\n"
                                  "params plain.example\n");
    const file_t file(out);
    const auto& urls = file.urls();
    EXPECT_TRUE(find_url_record(urls, 2, 4, index::md5_of("example.com/a b")));
    EXPECT_TRUE(find_url_record(urls, 2, 0, index::md5_of("b\xc3\xbc" "cher.example")));
    EXPECT_TRUE(find_url_record(urls, 0, 12, index::md5_of("/only/a/path")));
    EXPECT_TRUE(find_url_record(urls, 4, 1, index::md5_of("one.two.three.example/")));
    EXPECT_TRUE(find_url_record(urls, 255, 6, index::md5_of(std::string_view("\xc0\x00\x02\x0a/admin", 10))));
    const std::uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_TRUE(find_url_record(urls, 254, 0, index::md5_of(std::span<const std::uint8_t>(v6))));
    EXPECT_EQ(urls.size(), 6u);

    const auto& with_params = file.urls_with_params();
    const auto* r = find_url_record(with_params, 2, 5, index::md5_of("search.example/find"));
    ASSERT_TRUE(r);
    ASSERT_EQ(index::load32(r + 23), 2u); // two alternative lists
    const auto params = file.content().section(index::content_t::type_t::params);
    ASSERT_TRUE(params);
    const std::uint8_t* list = params->data + index::load32(r + 19);
    ASSERT_EQ(list[0], 2);
    const auto q = index::md5_of("q=casino"), lang = index::md5_of("lang=en");
    EXPECT_TRUE(std::equal(q.begin(), q.end(), list + 1));
    EXPECT_TRUE(std::equal(lang.begin(), lang.end(), list + 17));
    ASSERT_EQ(list[33], 1);
    const auto poker = index::md5_of("q=poker");
    EXPECT_TRUE(std::equal(poker.begin(), poker.end(), list + 34));
    const auto* plain = find_url_record(with_params, 2, 0, index::md5_of("plain.example"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(index::load32(plain + 23), 0u);
    EXPECT_EQ(file.record_count(), 8u);
}

TEST(NvsTool, RecordsAreSortedIntoOneRunPerLevelAndDepth)
{
    temp_dir_t dir;
    std::string source = "name gamble\n";
    // Interleaved levels and depths in the source.
    for (int i = 0; i < 20; ++i)
        source += "url h" + std::to_string(i) + (i % 2 ? ".example/x\n" : ".a.example\n");
    for (int i = 0; i < 10; ++i)
        source += "ipv4 10.0." + std::to_string(9 - i) + ".1\nipv4 10.1." + std::to_string(9 - i) + ".0/24\n";
    source += "ipv6 2001:db8::/32\nipv6 2001:db8:1::/48\nipv6 2001:db9::/32\nipv6 ::1\nipv6 ::2\n";
    const file_t file(build(dir, source));
    const auto& groups = file.urls().groups();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups.at(2).at(2).count, 10u);
    EXPECT_EQ(groups.at(3).at(0).count, 10u);
    for (const auto& [level, depths] : groups)
        for (const auto& [depth, run] : depths)
            for (std::uint32_t i = 1; i < run.count; ++i)
                EXPECT_LT(std::memcmp(index::record_key(run.first + 19 * (i - 1)), index::record_key(run.first + 19 * i), 16), 0);
    for (std::uint32_t i = 1; i < file.ipv4_hosts().size(); ++i)
        EXPECT_LT(index::load32(file.ipv4_hosts().record(i - 1)), index::load32(file.ipv4_hosts().record(i)));
    for (std::uint32_t i = 1; i < file.ipv4_networks().size(); ++i)
        EXPECT_LT(index::load32(file.ipv4_networks().record(i - 1)), index::load32(file.ipv4_networks().record(i)));
    const auto& nets6 = file.ipv6_networks().groups();
    ASSERT_EQ(nets6.size(), 2u);
    EXPECT_EQ(nets6[0].prefix_length, 48); // longer prefixes first
    EXPECT_EQ(nets6[1].count, 2u);
    EXPECT_EQ(file.ipv6_hashes().size(), 2u);
    EXPECT_EQ(file.record_count(), 20u + 20u + 3u + 2u);
}

TEST(NvsTool, NoticesAreKeyedByRecordOffsetAndStayUnfinished)
{
    temp_dir_t dir;
    const file_t file(build(dir, "name piracy\n"
                                 "url films.example/\nnotice https://store.example/films?a=\"1\"\n"
                                 "pattern warez\nnotice-json {\"legalURL\": 5}\n"
                                 "url other.example\n"));
    const auto* r = find_url_record(file.urls(), 2, 1, index::md5_of("films.example/"));
    ASSERT_TRUE(r);
    const auto* notice = file.legal_info().find(file.content().offset_of(r));
    ASSERT_TRUE(notice);
    EXPECT_EQ(*notice, "{\"legalURL\":\"https://store.example/films?a=\\\"1\\\"\"}");
    const auto& pattern = file.patterns().patterns().at(0);
    ASSERT_TRUE(file.legal_info().find(file.content().offset_of(pattern.data())));
    EXPECT_EQ(*file.legal_info().find(file.content().offset_of(pattern.data())), "{\"legalURL\": 5}");
    EXPECT_EQ(file.legal_info().notices().size(), 2u);
}

TEST(NvsTool, BadSourceLinesAreRefusedWithFileAndLine)
{
    temp_dir_t dir;
    const struct {
        const char* source;
        const char* message; // after "FILE:"
    } rows[] = {
        {"url a.example\n", ": no \"name\" line"},
        {"name gambling\n", ":1: unknown category \"gambling\""},
        {"name gamble\nname gamble\n", ":2: a second \"name\" line"},
        {"name gamble\nfrobnicate x\n", ":2: unknown keyword \"frobnicate\""},
        {"name gamble\ndate 2026-13-01 00:00:00\n", ":2: the date must read YYYY-MM-DD hh:mm:ss"},
        {"name gamble\nurl http://a.example/\n", ":2: entries are written without a scheme"},
        {"name gamble\nurl a.example:8080/\n", ":2: entries take no user, password or port"},
        {"name gamble\nurl a.example/?q=1\n", ":2: entries take no query or fragment"},
        {"name gamble\nurl\n", ":2: missing a host/path entry"},
        {"name gamble\nurl a.example b.example\n", ":2: unexpected text after a host/path entry"},
        {"name gamble\nurl a.example\n\nurl A.EXAMPLE\n", ":4: duplicate host/path entry"},
        {"name gamble\nipv4 10.0.0.1/8\n", ":2: the network address has bits set after the prefix length"},
        {"name gamble\nipv4 10.0.0.0/33\n", ":2: the prefix length must be a number from 1 to 32"},
        {"name gamble\nipv4 10.0.0\n", ":2: not an IPv4 address"},
        {"name gamble\nipv4 10.0.0.0/8\nipv4 10.1.0.0/16\n", ":3: overlaps the network on line 2"},
        {"name gamble\nipv4 10.0.0.1\nipv4 10.0.0.1\n", ":3: duplicate address (first on line 2)"},
        {"name gamble\nipv6 2001:db8::1/32\n", ":2: the prefix has bits set after the prefix length"},
        {"name gamble\naddress 2001:db8::1/x\n", ":2: not an IPv4 address"},
        {"name gamble\npattern a\npattern a\n", ":3: duplicate pattern (first on line 2)"},
        {"name gamble\nurl a.example\nnotice https://x.example\n", ":3: notices are read only in \"piracy\" databases"},
        {"name piracy\nnotice https://x.example\n", ":2: a notice follows the entry it belongs to"},
        {"name piracy\nurl a.example\nnotice x\nnotice y\n", ":4: a second notice for the entry on line 2"},
        {"name gamble\nparams a.example/ q=1&&b\n", ":2: an empty parameter"},
        {"name gamble\nparams a.example/ q=1\nparams a.example/ q=2\n", ":3: duplicate host/path entry"},
    };
    const std::string src = dir.file("bad.txt"), out = dir.file("bad.nvs");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        test::write_text(src, row.source);
        const auto r = tool({"build", "--key", test::test_private_key_path(), src, out});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err.rfind(src + row.message, 0), 0u) << r.err;
        EXPECT_FALSE(exists(out));
    }
}

TEST(NvsTool, ExampleSourcesBuildAndOpen)
{
    temp_dir_t dir;
    int sources = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(NORVA_SOURCE_DIR) + "/examples/nvs")) {
        if (entry.path().extension() != ".txt")
            continue;
        SCOPED_TRACE(entry.path().string());
        ++sources;
        const std::string out = dir.file(entry.path().stem().string() + ".nvs");
        const auto r = tool({"build", "--key", test::test_private_key_path(), entry.path().string(), out});
        ASSERT_EQ(r.exit_status, 0) << nv::test::describe(r);
        const file_t file(out);
        EXPECT_GT(file.record_count(), 0u);
        EXPECT_EQ(file.name(), entry.path().stem().string());
        EXPECT_NE(file.category(), category_unspecified);
    }
    EXPECT_GE(sources, 4);
}

TEST(NvsTool, BuildReplacesTheOutputByRename)
{
    temp_dir_t dir;
    const std::string out = build(dir, "name gamble\nurl a.example\n");
    const auto before = io::mapped_file_t::open(out);
    build(dir, "name gamble\nurl a.example\nurl b.example\n");
    EXPECT_TRUE(before.changed()); // a daemon reloading sees a new file, never a half-written one
    EXPECT_EQ(file_t(out).record_count(), 2u);
    const auto r = tool({"build", "--key", dir.file("missing.pem"), dir.file("db.txt"), out});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("missing.pem"), std::string::npos) << r.err;
}

} // namespace
} // namespace nv::nvs
