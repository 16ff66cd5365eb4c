// Host names between Punycode and UTF-8, label by label.
#include "nvs/url/idn.h"

#include <gtest/gtest.h>

#include <string>

namespace nv::nvs {
namespace {

struct host_case_t {
    std::string input;
    std::string output;
};

TEST(idn, to_unicode)
{
    const host_case_t cases[] = {
        {"", ""},
        {"xn--bcher-kva.b", "b\xC3\xBC" "cher.b"},
        {"XN--bcher-kva.b", "XN--bcher-kva.b"},        // the prefix test is case-sensitive
        {"xn--Bcher-kva.b", "B\xC3\xBC" "cher.b"},     // case of the rest is kept
        {".a", "a"},                                   // empty labels in front vanish...
        {"a..b.", "a..b."},                            // ...further on they keep their dots
        {"xn--a!b.c", "c"},                            // undecodable label dropped with its dot
        {"c.xn--a!b", "c."},
        {"xn--.c", "c"},                               // decodes to nothing, so it vanishes in front
        {"xn--" + std::string(256, 'a'), ""},          // 256 insertions: more than 63 code points
        {"xn--" + std::string(62, 'a') + "-", std::string(62, 'a')},
        {"xn--" + std::string(63, 'a') + "-", std::string(63, 'a')},
        {"xn--" + std::string(64, 'a') + "-", ""},     // more than 63 code points
        {"xn--" + std::string(257, 'a'), ""},          // more than 260 bytes
        {"xn--a_b-.h", "a_b.h"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(idn_to_unicode(c.input), c.output);
    }
}

TEST(idn, to_unicode_leaves_out_what_utf8_cannot_carry)
{
    // "xn--" forms of a surrogate (U+D800) and of U+110000 between 'a' and 'b'.
    // Both decode, but neither value can be written as UTF-8.
    EXPECT_EQ(idn_to_unicode("xn--ab-zd9k"), "ab");
    EXPECT_EQ(idn_to_unicode("xn--ab-ne24y"), "ab");
}

TEST(idn, to_ascii)
{
    const host_case_t cases[] = {
        {"", ""},
        {"b\xC3\xBC" "cher.b", "xn--bcher-kva.b"},
        {"H.B", "H.B"},                                // letter case kept
        {"a_b.h", "xn--a_b-.h"},
        {".a", "a"},
        {"a..b.", "a..b."},
        {std::string(62, 'a') + "_", "xn--" + std::string(62, 'a') + "_-"},
        {std::string(63, 'a') + "_.h", "h"},           // 64 bytes: dropped with its dot
        {"h." + std::string(63, 'a') + "_", "h."},
        {std::string(100, 'a') + ".h", std::string(100, 'a') + ".h"}, // LDH labels are never limited
        {"\xFF" "a", "xn--a-"},                        // malformed UTF-8 is dropped
        {"\xC0\xAF" "a", "xn--a-"},                    // so are overlong forms
        {"\xED\xA0\x80" "a", "xn--a-"},                // and encoded surrogates
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(idn_to_ascii(c.input), c.output);
    }
}

TEST(idn, round_trip_of_unicode_hosts)
{
    const std::string hosts[] = {
        "b\xC3\xBC" "cher.example",
        "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84", // пример.рф
        "\xE4\xBE\x8B\xE3\x81\x88.\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88",     // 例え.テスト
        "\xF0\x9F\x98\x80.h",                                                 // U+1F600
    };
    for (const auto& host : hosts) {
        SCOPED_TRACE(host);
        std::string ascii = idn_to_ascii(host);
        EXPECT_NE(ascii, host);
        EXPECT_EQ(idn_to_unicode(ascii), host);
    }
}

} // namespace
} // namespace nv::nvs
