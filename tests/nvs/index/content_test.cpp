#include "nvs/index/content.h"

#include "nvs/file.h"
#include "nvs/index/error.h"
#include "tests/support/nvs_fixture.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

namespace nv::nvs {
namespace {

using index::content_t;
using test::bytes_t;
using test::temp_dir_t;
using type_t = content_t::type_t;

const auto bad_format = make_error_code(error_t::bad_file_format);
const auto bad_signature = make_error_code(error_t::bad_file_signature);

TEST(ErrorCategory, NamesAndMessages)
{
    EXPECT_STREQ(error_category().name(), "nv.nvs.error");
    EXPECT_EQ(error_category().message(0), "Success");
    EXPECT_EQ(error_category().message(1), "Bad file format");
    EXPECT_EQ(error_category().message(2), "Bad file signature");
    EXPECT_EQ(error_category().message(3), "Unknown");
    EXPECT_EQ(error_category().message(-1), "Unknown");
}

TEST(Content, SizeIsCheckedBeforeMagicAndMagicBeforeSignature)
{
    temp_dir_t dir;
    bytes_t good_magic = test::bytes_of(std::string_view("NVS\0", 4));
    const struct {
        const char* what;
        bytes_t bytes;
        boost::system::error_code expected;
    } rows[] = {
        {"57 bytes, right magic", [&] { auto b = good_magic; b.resize(57); return b; }(), bad_format},
        {"57 bytes, wrong magic", bytes_t(57, 'x'), bad_format},
        {"58 bytes, right magic", [&] { auto b = good_magic; b.resize(58); return b; }(), bad_signature},
        {"58 bytes, wrong magic", bytes_t(58, 'x'), bad_format},
        {"magic without its zero byte", [&] { auto b = test::database({}); b[3] = ' '; return b; }(), bad_format},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(test::open_bytes_error(dir, row.bytes), row.expected);
    }
}

TEST(Content, SignedFileWithoutSectionsOpensEmpty)
{
    temp_dir_t dir;
    test::write_file(dir.file("a.nvs"), test::database({}, "gamble", {2024, 5, 6, 7, 8, 9}));
    const file_t file(dir.file("a.nvs"));
    EXPECT_TRUE(file.content().sections().empty());
    EXPECT_EQ(file.record_count(), 0u);
    EXPECT_EQ(file.name(), "gamble");
    EXPECT_FALSE(file.whitelist());
    EXPECT_EQ(file.category(), 1u << 5);
    EXPECT_EQ(file.date(), "2024-05-06 07:08:09");
}

TEST(Content, NameGivesCategoryAndWhitelist)
{
    temp_dir_t dir;
    const struct {
        const char* name;
        bool whitelist;
        unsigned bit;
    } rows[] = {
        {"whitelist_porno", true, 2},
        {"porno", false, 2},
        {"Porno", false, 30},
        {"whitelist_", true, 30},
        {"xwhitelist_porno", false, 30},
        {"whitelist_whitelist_porno", true, 30},
        {"black_list", false, 29},
        {"whitelist_piracy", true, 12},
        {"headhunters", false, 16},
        {"", false, 30},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::write_file(dir.file("n.nvs"), test::database({}, row.name));
        const file_t file(dir.file("n.nvs"));
        EXPECT_EQ(file.name(), row.name);
        EXPECT_EQ(file.whitelist(), row.whitelist);
        EXPECT_EQ(file.category(), 1u << row.bit);
    }
}

TEST(Content, DateFieldsArePaddedAndUnchecked)
{
    EXPECT_EQ(index::date_text(2024, 1, 2, 3, 4, 5), "2024-01-02 03:04:05");
    EXPECT_EQ(index::date_text(7, 0, 0, 0, 0, 0), "0007-00-00 00:00:00");
    EXPECT_EQ(index::date_text(65535, 255, 99, 24, 60, 61), "65535-255-99 24:60:61");
}

TEST(Content, SectionExtentsFollowFromTheOffsets)
{
    temp_dir_t dir;
    // Entries 0, 0, 100, 0, 250 and the signature at 400. The sizes suit no
    // reader, so the container is opened alone.
    test::write_file(dir.file("t.nvs"), test::signed_layout({0, 0, 100, 0, 250}, "gamble", {}, 400));
    const auto mapped = io::mapped_file_t::open(dir.file("t.nvs"));
    const content_t content(mapped);
    ASSERT_EQ(content.sections().size(), 2u);
    const auto hosts = content.section(type_t::ipv4_hosts);
    const auto urls = content.section(type_t::urls);
    ASSERT_TRUE(hosts && urls);
    EXPECT_EQ(content.offset_of(hosts->data), 100u);
    EXPECT_EQ(hosts->size, 150u);
    EXPECT_EQ(content.offset_of(urls->data), 250u);
    EXPECT_EQ(urls->size, 150u);
    EXPECT_FALSE(content.section(type_t::patterns));
}

TEST(Content, IndexesFromTenOnKeepOnlyTheFirstButCheckAll)
{
    temp_dir_t dir;
    const std::uint32_t header = std::uint32_t(index::header_size(13, 6));
    std::vector<std::uint32_t> table(13, 0);
    table[10] = header;
    table[12] = header + 8;
    test::write_file(dir.file("k.nvs"), test::signed_layout(table, "gamble", bytes_t(20, 0xAA)));
    const file_t file(dir.file("k.nvs"));
    ASSERT_EQ(file.content().sections().size(), 1u);
    const auto kept = file.content().section(type_t::unused_10);
    ASSERT_TRUE(kept);
    EXPECT_EQ(file.content().offset_of(kept->data), header);
    EXPECT_EQ(kept->size, 8u);
    EXPECT_EQ(file.content().table().size(), 2u);

    // The entry at 12 is not kept, but an extent past the signed area still fails the file.
    table[12] = header + 21;
    EXPECT_EQ(test::open_bytes_error(dir, test::signed_layout(table, "gamble", bytes_t(20, 0xAA))), bad_format);
}

TEST(Content, BadHeadersAreFormatErrors)
{
    temp_dir_t dir;
    const std::uint32_t header = std::uint32_t(index::header_size(3, 6));
    const auto with_count = [](std::uint32_t count) {
        // A header claiming more table entries than the signed area holds.
        bytes_t b = index::header_bytes({}, {}, "gamble");
        b[4] = std::uint8_t(count >> 24), b[5] = std::uint8_t(count >> 16), b[6] = std::uint8_t(count >> 8),
        b[7] = std::uint8_t(count);
        b.resize(60, 0);
        index::append_signature(b, test::test_key());
        return b;
    };
    const auto without_name_end = [] {
        bytes_t b = index::header_bytes({}, {}, "gamble");
        b.pop_back(); // the name runs to the end of the signed area
        b.resize(b.size() + 20, 'n');
        index::append_signature(b, test::test_key());
        return b;
    };
    const struct {
        const char* what;
        bytes_t bytes;
    } rows[] = {
        {"section count 0xFFFFFFFF", with_count(0xFFFFFFFFu)},
        {"table filling the signed area, no room for the date", with_count(13)},
        {"name without its zero byte", without_name_end()},
        {"offsets descending", test::signed_layout({header + 10, header + 5, 0}, "gamble", bytes_t(20, 0))},
        {"last offset past the signed area", test::signed_layout({0, header + 21, 0}, "gamble", bytes_t(20, 0))},
        {"offset far past the file", test::signed_layout({0, 0, 0xFFFFFFF0u}, "gamble", bytes_t(20, 0))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(test::open_bytes_error(dir, row.bytes), bad_format);
    }
    // A last section ending exactly at the signature is fine.
    EXPECT_EQ(test::open_bytes_error(dir, test::signed_layout({0, header + 20, 0}, "gamble", bytes_t(20, 0))),
              boost::system::error_code());
}

} // namespace
} // namespace nv::nvs
