#include "nvs/file.h"
#include "nvs/index/error.h"
#include "nvs/index/writer.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace nv::nvs {
namespace {

using test::bytes_t;
using test::temp_dir_t;

const auto bad_format = make_error_code(error_t::bad_file_format);
const boost::system::error_code ok;

bytes_t filled(std::size_t n, std::uint8_t value = 0) { return bytes_t(n, value); }

// A type 4 or 5 record head: level, depth, key made of one repeated byte.
bytes_t url_record(std::uint8_t level, std::uint16_t depth, std::uint8_t key_byte)
{
    bytes_t r;
    index::put8(r, level);
    index::put16(r, depth);
    r.resize(19, key_byte);
    return r;
}

bytes_t params_record(std::uint8_t level, std::uint16_t depth, std::uint8_t key_byte, std::uint32_t offset,
                      std::uint32_t lists)
{
    bytes_t r = url_record(level, depth, key_byte);
    index::put32(r, offset);
    index::put32(r, lists);
    return r;
}

bytes_t concat(std::initializer_list<bytes_t> parts)
{
    bytes_t out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A type 8 section from (key, blob) pairs; a blob is stored with its length.
bytes_t legal_section(const std::vector<std::pair<std::uint32_t, bytes_t>>& entries)
{
    bytes_t out;
    index::put32(out, std::uint32_t(entries.size()));
    for (const auto& e : entries)
        index::put32(out, e.first);
    std::uint32_t at = std::uint32_t(4 + 8 * entries.size());
    for (const auto& e : entries) {
        index::put32(out, at);
        at += std::uint32_t(4 + e.second.size());
    }
    for (const auto& e : entries) {
        index::put32(out, std::uint32_t(e.second.size()));
        out.insert(out.end(), e.second.begin(), e.second.end());
    }
    return out;
}

TEST(Readers, SectionChecksAsATable)
{
    temp_dir_t dir;
    const bytes_t one_group = concat({{2, 64}, [] { bytes_t b; index::put32(b, 1); return b; }(), filled(16, 7)});
    const bytes_t list_1 = concat({{1}, filled(16, 3)});
    const struct {
        const char* what;
        std::map<unsigned, bytes_t> sections;
        boost::system::error_code expected;
    } rows[] = {
        {"all absent", {}, ok},
        {"type 1 ab, zero, zero", {{1, test::bytes_of(std::string_view("ab\0\0", 4))}}, ok},
        {"type 1 ab without zero", {{1, test::bytes_of("ab")}}, bad_format},
        {"type 2 of 8 bytes", {{2, filled(8)}}, ok},
        {"type 2 of 6 bytes", {{2, filled(6)}}, bad_format},
        {"type 3 of 32 bytes", {{3, filled(32)}}, ok},
        {"type 3 of 17 bytes", {{3, filled(17)}}, bad_format},
        {"type 4 of 38 bytes", {{4, filled(38)}}, ok},
        {"type 4 of 39 bytes", {{4, filled(39)}}, bad_format},
        {"type 5 of 28 bytes", {{5, filled(28)}}, bad_format},
        {"type 6 of 10 bytes", {{6, filled(10)}}, ok},
        {"type 6 of 9 bytes", {{6, filled(9)}}, bad_format},
        {"type 7 count 2, one group", {{7, one_group}}, bad_format},
        {"type 7 count 1, trailing bytes", {{7, concat({{1}, bytes_t(one_group.begin() + 1, one_group.end()), filled(3)})}}, ok},
        {"type 7 group head of 4 bytes", {{7, bytes_t{1, 64, 0, 0, 0}}}, bad_format},
        {"type 7 count 0", {{7, bytes_t{0}}}, ok},
        {"type 5 list count 0, type 0 absent", {{5, params_record(1, 0, 9, 0, 0)}}, ok},
        {"type 5 list at the end of type 0", {{0, list_1}, {5, params_record(1, 0, 9, 17, 1)}}, bad_format},
        {"type 5 list, type 0 absent", {{5, params_record(1, 0, 9, 0, 1)}}, bad_format},
        {"type 5 one list fits", {{0, list_1}, {5, params_record(1, 0, 9, 0, 1)}}, ok},
        {"type 5 two lists, one fits", {{0, list_1}, {5, params_record(1, 0, 9, 0, 2)}}, bad_format},
        {"type 5 list count 0xFFFFFFFF", {{0, list_1}, {5, params_record(1, 0, 9, 0, 0xFFFFFFFFu)}}, bad_format},
        {"type 8 of 3 bytes", {{8, filled(3)}}, bad_format},
        {"type 8 count 0", {{8, filled(4)}}, ok},
        {"type 8 directory past the end", {{8, [] { bytes_t b; index::put32(b, 1); b.resize(15); return b; }()}}, bad_format},
        {"type 8 blob offset past the end", {{8, [] { bytes_t b; index::put32(b, 1); index::put32(b, 0); index::put32(b, 13); index::put32(b, 0); return b; }()}}, bad_format},
        {"type 8 blob length past the end", {{8, [] { bytes_t b; index::put32(b, 1); index::put32(b, 0); index::put32(b, 12); index::put32(b, 1); return b; }()}}, bad_format},
        {"type 8 L = 0", {{8, legal_section({{100, {}}})}}, ok},
        {"type 8 garbage", {{8, legal_section({{100, bytes_t{0xFF, 0xFF, 0xFF}}})}}, bad_format},
        {"type 8 final block", {{8, legal_section({{100, test::deflate_raw("{}", true)}})}}, bad_format},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(test::open_bytes_error(dir, test::database(row.sections)), row.expected);
    }
}

TEST(Readers, PatternsIncludeTheEmptyOne)
{
    temp_dir_t dir;
    test::write_file(dir.file("p.nvs"), test::database({{1, test::bytes_of(std::string_view("ab\0\0", 4))}}));
    const file_t file(dir.file("p.nvs"));
    const auto& patterns = file.patterns().patterns();
    ASSERT_EQ(patterns.size(), 2u);
    EXPECT_EQ(patterns[0], "ab");
    EXPECT_EQ(patterns[1], "");
    const auto section = file.content().section(index::content_t::type_t::patterns);
    EXPECT_EQ(file.content().offset_of(patterns[1].data()), file.content().offset_of(section->data) + 3);
    EXPECT_EQ(file.record_count(), 2u);
}

TEST(Readers, ThirdRunWithARepeatedPairIsUnreachableButCounted)
{
    temp_dir_t dir;
    const bytes_t section = concat({url_record(2, 0, 1), url_record(2, 0, 2), url_record(3, 0, 1),
                                    url_record(2, 0, 3), url_record(2, 0, 4), url_record(2, 0, 5)});
    test::write_file(dir.file("u.nvs"), test::database({{4, section}}));
    const file_t file(dir.file("u.nvs"));
    const auto& groups = file.urls().groups();
    ASSERT_EQ(groups.size(), 2u);
    ASSERT_EQ(groups.at(2).size(), 1u);
    const auto run = groups.at(2).at(0);
    EXPECT_EQ(run.count, 2u);
    EXPECT_EQ(index::record_key(run.first)[0], 1);
    EXPECT_EQ(groups.at(3).at(0).count, 1u);
    EXPECT_EQ(file.urls().size(), 6u);
    EXPECT_EQ(file.record_count(), 6u);
}

TEST(Readers, RecordCountAddsEverySearchableRecord)
{
    temp_dir_t dir;
    bytes_t groups{2};
    for (std::uint32_t keys : {2u, 3u}) {
        index::put8(groups, 48);
        index::put32(groups, keys);
        groups.resize(groups.size() + 16 * keys, 0);
    }
    const bytes_t list_0{0};
    test::write_file(dir.file("c.nvs"),
                     test::database({{0, list_0},
                                     {1, test::bytes_of(std::string_view("a\0b\0c\0", 6))},
                                     {2, filled(8)},
                                     {3, filled(48)},
                                     {4, filled(19 * 4)},
                                     {5, concat({params_record(0, 0, 0, 0, 1), params_record(0, 0, 1, 0, 0)})},
                                     {6, filled(5 * 5)},
                                     {7, groups},
                                     {8, legal_section({{1, test::deflate_raw("{}")}})}}));
    const file_t file(dir.file("c.nvs"));
    EXPECT_EQ(file.record_count(), 3u + 2 + 3 + 4 + 2 + 5 + (2 + 3));
    ASSERT_EQ(file.ipv6_networks().groups().size(), 2u);
    EXPECT_EQ(file.ipv6_networks().groups()[1].count, 3u);
    EXPECT_EQ(file.ipv6_networks().groups()[0].prefix_length, 48);
}

TEST(Readers, NoticesSkipEmptyKeepTheLastDuplicateAndInflateWhole)
{
    temp_dir_t dir;
    std::string long_notice = "{\"legalURL\":\"https://example.com/";
    while (long_notice.size() < 10000)
        long_notice += "abcdefghij" + std::to_string(long_notice.size());
    long_notice += "\"}";
    test::write_file(dir.file("l.nvs"),
                     test::database({{8, legal_section({{7, test::deflate_raw("first")},
                                                        {9, {}},
                                                        {7, test::deflate_raw("second")},
                                                        {11, test::deflate_raw(long_notice)}})}},
                                    "piracy"));
    const file_t file(dir.file("l.nvs"));
    const auto& info = file.legal_info();
    EXPECT_EQ(info.notices().size(), 2u);
    ASSERT_TRUE(info.find(7));
    EXPECT_EQ(*info.find(7), "second");
    EXPECT_FALSE(info.find(9));
    ASSERT_TRUE(info.find(11));
    EXPECT_EQ(*info.find(11), long_notice);
    EXPECT_EQ(file.record_count(), 0u);
}

TEST(Readers, NoticeExactlyFillingOutputStepsIsWhole)
{
    for (std::size_t size : {4095u, 4096u, 4097u, 8192u}) {
        SCOPED_TRACE(size);
        std::string text(size, 'x');
        for (std::size_t i = 0; i < size; i += 7)
            text[i] = char('a' + i % 26);
        const auto blob = test::deflate_raw(text);
        EXPECT_EQ(index::inflate_notice(blob.data(), std::uint32_t(blob.size())), text);
    }
}

} // namespace
} // namespace nv::nvs
