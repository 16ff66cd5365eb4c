// Strict UTF-8 reading and writing.
#include "nvs/url/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace nv::nvs {
namespace {

TEST(utf8, reads_well_formed_sequences_and_drops_the_rest)
{
    const struct {
        std::string input;
        std::u32string code_points;
        bool valid;
    } cases[] = {
        {"", U"", true},
        {"a\x7f", U"a\x7f", true},
        {"\xC2\x80\xDF\xBF", U"\u0080\u07FF", true},
        {"\xE0\xA0\x80\xEF\xBF\xBD", U"\u0800\uFFFD", true},
        {"\xED\x9F\xBF\xEE\x80\x80", U"\uD7FF\uE000", true},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", U"\U00010000\U0010FFFF", true},
        {"a\x80" "b", U"ab", false},               // stray continuation byte
        {"\xC0\x80\xC1\xBF", U"", false},         // overlong two-byte forms
        {"\xE0\x9F\xBF" "a", U"a", false},        // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", U"", false},         // overlong four-byte form
        {"\xED\xA0\x80\xED\xBF\xBF", U"", false}, // surrogates
        {"\xF4\x90\x80\x80", U"", false},         // above U+10FFFF
        {"\xF5\x80\x80\x80\xFF\xFE", U"", false}, // bytes never used
        {"\xE2\x82" "a", U"a", false},            // truncated, ASCII behind it survives
        {"a\xE2\x82", U"a", false},               // truncated at the end
        {"\xC3", U"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.input));
        EXPECT_EQ(utf8_to_code_points(c.input), c.code_points);
        EXPECT_EQ(is_valid_utf8(c.input), c.valid);
    }
}

TEST(utf8, writes_unicode_scalar_values_only)
{
    std::string out;
    for (char32_t c : {char32_t(0x41), char32_t(0xFC), char32_t(0x20AC), char32_t(0xD800), char32_t(0xDFFF),
                       char32_t(0x1F600), char32_t(0x110000), char32_t(0xFFFFFFFF)})
        append_utf8(out, c);
    EXPECT_EQ(out, "A\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(utf8, round_trip_over_every_scalar_value)
{
    std::string text;
    std::u32string expected;
    for (char32_t c = 0; c <= 0x10FFFF; c += (c < 0x1000 ? 1 : 97)) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        append_utf8(text, c);
        expected += c;
    }
    EXPECT_TRUE(is_valid_utf8(text));
    EXPECT_EQ(utf8_to_code_points(text), expected);
}

} // namespace
} // namespace nv::nvs
