// The lookup of a URL in one database: every section search, their order, and
// the record each match names.
#include "nvs/file.h"
#include "nvs/index/context.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace nv::nvs {
namespace {

using index::md5_key_t;
using index::md5_of;
using test::bytes_t;
using test::database_spec_t;
using test::host_record;
using test::ipv4;
using test::url_record_t;

bytes_t v4_bytes(std::uint32_t a) { bytes_t b; index::put32(b, a); return b; }

bytes_t record_head(const url_record_t& r)
{
    bytes_t b;
    index::put8(b, std::uint8_t(r.level));
    index::put16(b, std::uint16_t(r.depth));
    b.insert(b.end(), r.key.begin(), r.key.end());
    return b;
}

bytes_t key_bytes(const md5_key_t& key) { return bytes_t(key.begin(), key.end()); }

md5_key_t address_md5(std::string_view text, std::string_view path = {})
{
    return md5_of(test::address(text).bytes(), test::bytes_of(path));
}

url_record_t with_lists(url_record_t r, std::vector<std::vector<md5_key_t>> lists)
{
    r.lists = std::move(lists);
    return r;
}

std::vector<md5_key_t> keys(std::initializer_list<const char*> texts)
{
    std::vector<md5_key_t> out;
    for (const auto* t : texts)
        out.push_back(md5_of(t));
    return out;
}

struct row_t {
    const char* what;
    database_spec_t spec;
    const char* url;
    std::vector<const char*> addresses;
    // The bytes at the record offset of the match; empty: no match expected.
    bytes_t record;
};

void run_rows(const std::vector<row_t>& rows)
{
    test::temp_dir_t dir;
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = dir.file("db" + std::to_string(n++) + ".nvs");
        test::write_database(path, row.spec);
        const file_t file(path);
        address_set_t addresses;
        for (const auto* a : row.addresses)
            addresses.insert(test::address(a));
        const url_t url(row.url, addresses);
        index::context_t context(url);
        const index::match_t match = file.find(context);
        ASSERT_EQ(match.found, !row.record.empty());
        if (!match.found)
            continue;
        ASSERT_LE(std::size_t(match.record_offset) + row.record.size(), file.mapped().size());
        EXPECT_EQ(bytes_t(file.mapped().data() + match.record_offset,
                          file.mapped().data() + match.record_offset + row.record.size()),
                  row.record);
    }
}

TEST(FileFind, HostAndPathRecords)
{
    const auto level0 = host_record(0, 2, "/x");
    const auto host = host_record(2, 0, "b.c");
    const auto longer = host_record(3, 2, "a.b.c/x");
    std::vector<row_t> rows = {
        {"level 0 matches on the path alone", database_spec_t{}.with_urls({level0}), "http://any.where/xz", {}, record_head(level0)},
        {"level 0 with another host", database_spec_t{}.with_urls({level0}), "http://h/x", {}, record_head(level0)},
        {"level 0, other path", database_spec_t{}.with_urls({level0}), "http://h/y/x", {}, {}},
        {"host suffix", database_spec_t{}.with_urls({host}), "http://a.b.c/q", {}, record_head(host)},
        {"host suffix, other domain", database_spec_t{}.with_urls({host}), "http://a.b.d/", {}, {}},
        // Shorter suffixes and prefixes are tried first, so the level 2 record decides.
        {"shortest first", database_spec_t{}.with_urls({longer, host}), "http://a.b.c/x", {}, record_head(host)},
        {"level 3 with 2 labels", database_spec_t{}.with_urls({host_record(3, 0, "b.c")}), "http://b.c/", {}, {}},
        {"depth beyond the path", database_spec_t{}.with_urls({host_record(2, 3, "b.c/x")}), "http://b.c/x", {}, {}},
        {"depth equal to the path", database_spec_t{}.with_urls({host_record(2, 2, "b.c/x")}), "http://b.c/x", {}, record_head(host_record(2, 2, "b.c/x"))},
    };
    run_rows(rows);
}

TEST(FileFind, ParameterConditions)
{
    const auto base = host_record(1, 0, "h");
    const auto none = with_lists(base, {});
    const auto empty_list = with_lists(base, {{}});
    const auto a1_b = with_lists(base, {keys({"a=1", "b"})});
    const auto a1_c = with_lists(base, {keys({"a=1", "c"})});
    const auto three = with_lists(base, {keys({"a=1", "b", "a=1"})});
    const auto twice = with_lists(base, {keys({"a=1", "a=1"})});
    const auto second = with_lists(base, {keys({"z"}), keys({"b"})});
    const char* url = "http://h/?a=1&b&a=1"; // two distinct keys from three parameters
    std::vector<row_t> rows = {
        {"list count 0 matches like type 4", database_spec_t{}.with_urls({none}), "http://h/", {}, record_head(none)},
        {"a list of no keys matches any URL", database_spec_t{}.with_urls({empty_list}), "http://h/", {}, record_head(empty_list)},
        {"all keys present", database_spec_t{}.with_urls({a1_b}), url, {}, record_head(a1_b)},
        {"a key missing", database_spec_t{}.with_urls({a1_c}), url, {}, {}},
        {"more keys than the URL has", database_spec_t{}.with_urls({three}), url, {}, {}},
        {"a key listed twice counts twice", database_spec_t{}.with_urls({twice}), url, {}, record_head(twice)},
        {"the second list holds", database_spec_t{}.with_urls({second}), url, {}, record_head(second)},
        {"no parameters at all", database_spec_t{}.with_urls({a1_b}), "http://h/", {}, {}},
    };
    run_rows(rows);
}

TEST(FileFind, Ipv4HostsAndNetworks)
{
    const std::pair<std::uint32_t, unsigned> net8{ipv4(10, 0, 0, 0), 8}, host32{ipv4(10, 1, 2, 3), 32},
        net16{ipv4(10, 5, 0, 0), 16};
    const auto net_record = [](std::pair<std::uint32_t, unsigned> n) {
        bytes_t b = v4_bytes(n.first);
        b.push_back(std::uint8_t(n.second));
        return b;
    };
    std::vector<row_t> rows = {
        {"inside /8", database_spec_t{}.with_ipv4_networks({net8}), "http://h/", {"10.1.2.3"}, net_record(net8)},
        {"network address itself", database_spec_t{}.with_ipv4_networks({net8}), "http://h/", {"10.0.0.0"}, net_record(net8)},
        {"last address of /8", database_spec_t{}.with_ipv4_networks({net8}), "http://h/", {"10.255.255.255"}, net_record(net8)},
        {"outside /8", database_spec_t{}.with_ipv4_networks({net8}), "http://h/", {"11.0.0.0"}, {}},
        {"below every network", database_spec_t{}.with_ipv4_networks({net8}), "http://h/", {"9.255.255.255"}, {}},
        {"/32", database_spec_t{}.with_ipv4_networks({host32}), "http://h/", {"10.1.2.3"}, net_record(host32)},
        {"/32, next address", database_spec_t{}.with_ipv4_networks({host32}), "http://h/", {"10.1.2.4"}, {}},
        // Only the last network starting at or below the address is tested.
        {"after a later network", database_spec_t{}.with_ipv4_networks({net8, net16}), "http://h/", {"10.6.0.1"}, {}},
        {"exact host", database_spec_t{}.with_ipv4_hosts({ipv4(10, 1, 2, 3)}), "http://h/", {"10.1.2.3"}, v4_bytes(ipv4(10, 1, 2, 3))},
        {"other host", database_spec_t{}.with_ipv4_hosts({ipv4(10, 1, 2, 3), ipv4(10, 1, 2, 5)}), "http://h/", {"10.1.2.4"}, {}},
        {"second address of the URL", database_spec_t{}.with_ipv4_hosts({ipv4(10, 1, 2, 5)}), "http://h/", {"10.1.2.3", "10.1.2.5"},
         v4_bytes(ipv4(10, 1, 2, 5))},
        // Networks are searched before hosts.
        {"network before host", database_spec_t{}.with_ipv4_hosts({ipv4(10, 1, 2, 3)}).with_ipv4_networks({net8}), "http://h/",
         {"10.1.2.3"}, net_record(net8)},
        {"no addresses", database_spec_t{}.with_ipv4_hosts({ipv4(10, 1, 2, 3)}), "http://10.1.2.3/", {}, {}},
    };
    run_rows(rows);
}

TEST(FileFind, Ipv6NetworksAndHashes)
{
    const md5_key_t all_zero = md5_of(bytes_t(16, 0));
    const md5_key_t net64 = address_md5("2001:db8:1:2::");
    // 2001:0dff:: with 20 bits kept is 2001::, the bits of 0d being all after bit 20.
    const md5_key_t net20 = address_md5("2001::");
    std::vector<row_t> rows = {
        {"prefix 0 matches every address", database_spec_t{}.with_ipv6_groups({{0, {all_zero}}}), "http://h/", {"2001:db8::1"},
         key_bytes(all_zero)},
        {"prefix 64 inside", database_spec_t{}.with_ipv6_groups({{64, {net64}}}), "http://h/", {"2001:db8:1:2::5"}, key_bytes(net64)},
        {"prefix 64 outside", database_spec_t{}.with_ipv6_groups({{64, {net64}}}), "http://h/", {"2001:db8:1:3::5"}, {}},
        {"prefix inside a byte", database_spec_t{}.with_ipv6_groups({{20, {net20}}}), "http://h/", {"2001:dff::1"}, key_bytes(net20)},
        {"prefix inside a byte, outside", database_spec_t{}.with_ipv6_groups({{20, {net20}}}), "http://h/", {"2001:1000::1"}, {}},
        {"groups in file order", database_spec_t{}.with_ipv6_groups({{64, {net64}}, {0, {all_zero}}}), "http://h/",
         {"2001:db8:1:2::5"}, key_bytes(net64)},
        {"IPv4 never meets IPv6 groups", database_spec_t{}.with_ipv6_groups({{0, {all_zero}}}), "http://h/", {"10.0.0.1"}, {}},
        {"exact address", database_spec_t{}.with_ipv6_hashes({address_md5("::1")}), "http://h/", {"::1"}, key_bytes(address_md5("::1"))},
        {"other address", database_spec_t{}.with_ipv6_hashes({address_md5("::1")}), "http://h/", {"::2"}, {}},
    };
    run_rows(rows);
}

TEST(FileFind, AddressRecordsOfTypes4And5)
{
    const auto v4 = test::key_record(255, 3, address_md5("10.1.2.3", "/x/"));
    const auto v6 = test::key_record(254, 0, address_md5("::1"));
    std::vector<row_t> rows = {
        {"IPv4 address with a path prefix", database_spec_t{}.with_urls({v4}), "http://h/x/y", {"10.1.2.3"}, record_head(v4)},
        {"IPv4 address, path too short", database_spec_t{}.with_urls({v4}), "http://h/x", {"10.1.2.3"}, {}},
        {"IPv4 address, other address", database_spec_t{}.with_urls({v4}), "http://h/x/y", {"10.1.2.4"}, {}},
        {"IPv6 address", database_spec_t{}.with_urls({v6}), "http://h/", {"::1"}, record_head(v6)},
        // An IPv6 address is looked up only under level 254.
        {"IPv6 key under level 255", database_spec_t{}.with_urls({test::key_record(255, 0, address_md5("::1"))}),
         "http://h/", {"::1"}, {}},
        {"IPv4 address in type 5", database_spec_t{}.with_urls({with_lists(v4, {})}), "http://h/x/y", {"10.1.2.3"}, record_head(v4)},
    };
    run_rows(rows);
}

TEST(FileFind, PatternsRegardlessOfCase)
{
    const auto text = [](const char* s) {
        bytes_t b = test::bytes_of(s);
        b.push_back(0);
        return b;
    };
    std::vector<row_t> rows = {
        {"upper-case pattern, lower-case URL", database_spec_t{}.with_patterns({"ABC"}), "http://h/xabcx", {}, text("ABC")},
        {"lower-case pattern, query text", database_spec_t{}.with_patterns({"q=v"}), "http://h/?Q=V", {}, text("q=v")},
        {"no occurrence", database_spec_t{}.with_patterns({"abd"}), "http://h/abc", {}, {}},
        {"the empty pattern matches nothing", database_spec_t{}.with_patterns({""}), "http://h/abc", {}, {}},
        {"first in section order", database_spec_t{}.with_patterns({"", "zz", "H/X", "h"}), "http://h/x", {}, text("H/X")},
        {"decoded text", database_spec_t{}.with_patterns({"a b"}), "http://h/a%20b", {}, text("a b")},
        {"at the very start", database_spec_t{}.with_patterns({"HTTP:"}), "http://h/a", {}, text("HTTP:")},
        {"at the very end", database_spec_t{}.with_patterns({"/A"}), "http://h/a", {}, text("/A")},
        {"one character", database_spec_t{}.with_patterns({"Q", "Z"}), "http://h/z", {}, text("Z")},
        {"its pairs scattered", database_spec_t{}.with_patterns({"abcd"}), "http://h/ab-bc-cd", {}, {}},
    };
    run_rows(rows);
}

TEST(FileFind, OrderOfTheSearches)
{
    const auto by_host = host_record(1, 0, "h");
    const auto by_host_params = with_lists(host_record(1, 0, "h"), {});
    std::vector<row_t> rows = {
        {"address over host/path",
         database_spec_t{}.with_ipv4_hosts({ipv4(10, 1, 2, 3)}).with_urls({by_host}), "http://h/", {"10.1.2.3"}, v4_bytes(ipv4(10, 1, 2, 3))},
        {"type 4 over type 5", database_spec_t{}.with_urls({by_host_params, by_host}), "http://h/", {}, record_head(by_host)},
        {"type 5 over patterns", database_spec_t{}.with_patterns({"h"}).with_urls({by_host_params}), "http://h/", {},
         record_head(by_host_params)},
    };
    run_rows(rows);
    // The two records of the second row have equal heads: tell them apart by section.
    test::temp_dir_t dir;
    test::write_database(dir.file("a.nvs"), database_spec_t{}.with_urls({by_host_params, by_host}));
    const file_t file(dir.file("a.nvs"));
    const url_t url("http://h/");
    index::context_t context(url);
    const auto type4 = file.content().section(index::content_t::type_t::urls);
    ASSERT_TRUE(type4);
    EXPECT_EQ(file.find(context).record_offset, file.content().offset_of(type4->data));
}

} // namespace
} // namespace nv::nvs
