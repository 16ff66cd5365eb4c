// Punycode against the sample strings of RFC 3492, section 7.1, and its failures.
#include "nvs/url/punycode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace nv::nvs {
namespace {

struct sample_t {
    const char* name;
    std::u32string code_points;
    std::string punycode;
    // The sample's Punycode carries case flags (upper-case digits), which the
    // encoder does not write.
    bool case_flags;
};

const sample_t rfc3492_samples[] = {
    {"A",
     {0x0644, 0x064A, 0x0647, 0x0645, 0x0627, 0x0628, 0x062A, 0x0643, 0x0644, 0x0645, 0x0648, 0x0634,
      0x0639, 0x0631, 0x0628, 0x064A, 0x061F},
     "egbpdaj6bu4bxfgehfvwxn", false},
    {"B",
     {0x4ED6, 0x4EEC, 0x4E3A, 0x4EC0, 0x4E48, 0x4E0D, 0x8BF4, 0x4E2D, 0x6587},
     "ihqwcrb4cv8a8dqg056pqjye", false},
    {"C",
     {0x4ED6, 0x5011, 0x7232, 0x4EC0, 0x9EBD, 0x4E0D, 0x8AAA, 0x4E2D, 0x6587},
     "ihqwctvzc91f659drss3x8bo0yb", false},
    {"D",
     {0x0050, 0x0072, 0x006F, 0x010D, 0x0070, 0x0072, 0x006F, 0x0073, 0x0074, 0x011B, 0x006E, 0x0065,
      0x006D, 0x006C, 0x0075, 0x0076, 0x00ED, 0x010D, 0x0065, 0x0073, 0x006B, 0x0079},
     "Proprostnemluvesky-uyb24dma41a", false},
    {"E",
     {0x05DC, 0x05DE, 0x05D4, 0x05D4, 0x05DD, 0x05E4, 0x05E9, 0x05D5, 0x05D8, 0x05DC, 0x05D0, 0x05DE,
      0x05D3, 0x05D1, 0x05E8, 0x05D9, 0x05DD, 0x05E2, 0x05D1, 0x05E8, 0x05D9, 0x05EA},
     "4dbcagdahymbxekheh6e0a7fei0b", false},
    {"F",
     {0x092F, 0x0939, 0x0932, 0x094B, 0x0917, 0x0939, 0x093F, 0x0928, 0x094D, 0x0926, 0x0940, 0x0915,
      0x094D, 0x092F, 0x094B, 0x0902, 0x0928, 0x0939, 0x0940, 0x0902, 0x092C, 0x094B, 0x0932, 0x0938,
      0x0915, 0x0924, 0x0947, 0x0939, 0x0948, 0x0902},
     "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd", false},
    {"G",
     {0x306A, 0x305C, 0x307F, 0x3093, 0x306A, 0x65E5, 0x672C, 0x8A9E, 0x3092, 0x8A71, 0x3057, 0x3066,
      0x304F, 0x308C, 0x306A, 0x3044, 0x306E, 0x304B},
     "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa", false},
    {"H",
     {0xC138, 0xACC4, 0xC758, 0xBAA8, 0xB4E0, 0xC0AC, 0xB78C, 0xB4E4, 0xC774, 0xD55C, 0xAD6D, 0xC5B4,
      0xB97C, 0xC774, 0xD574, 0xD55C, 0xB2E4, 0xBA74, 0xC5BC, 0xB9C8, 0xB098, 0xC88B, 0xC744, 0xAE4C},
     "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c", false},
    {"I",
     {0x043F, 0x043E, 0x0447, 0x0435, 0x043C, 0x0443, 0x0436, 0x0435, 0x043E, 0x043D, 0x0438, 0x043D,
      0x0435, 0x0433, 0x043E, 0x0432, 0x043E, 0x0440, 0x044F, 0x0442, 0x043F, 0x043E, 0x0440, 0x0443,
      0x0441, 0x0441, 0x043A, 0x0438},
     "b1abfaaepdrnnbgefbaDotcwatmq2g4l", true},
    {"J",
     {0x0050, 0x006F, 0x0072, 0x0071, 0x0075, 0x00E9, 0x006E, 0x006F, 0x0070, 0x0075, 0x0065, 0x0064,
      0x0065, 0x006E, 0x0073, 0x0069, 0x006D, 0x0070, 0x006C, 0x0065, 0x006D, 0x0065, 0x006E, 0x0074,
      0x0065, 0x0068, 0x0061, 0x0062, 0x006C, 0x0061, 0x0072, 0x0065, 0x006E, 0x0045, 0x0073, 0x0070,
      0x0061, 0x00F1, 0x006F, 0x006C},
     "PorqunopuedensimplementehablarenEspaol-fmd56a", false},
    {"K",
     {0x0054, 0x1EA1, 0x0069, 0x0073, 0x0061, 0x006F, 0x0068, 0x1ECD, 0x006B, 0x0068, 0x00F4, 0x006E,
      0x0067, 0x0074, 0x0068, 0x1EC3, 0x0063, 0x0068, 0x1EC9, 0x006E, 0x00F3, 0x0069, 0x0074, 0x0069,
      0x1EBF, 0x006E, 0x0067, 0x0056, 0x0069, 0x1EC7, 0x0074},
     "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g", false},
    {"L",
     {0x0033, 0x5E74, 0x0042, 0x7D44, 0x91D1, 0x516B, 0x5148, 0x751F},
     "3B-ww4c5e180e575a65lsy2b", false},
    {"M",
     {0x5B89, 0x5BA4, 0x5948, 0x7F8E, 0x6075, 0x002D, 0x0077, 0x0069, 0x0074, 0x0068, 0x002D, 0x0053,
      0x0055, 0x0050, 0x0045, 0x0052, 0x002D, 0x004D, 0x004F, 0x004E, 0x004B, 0x0045, 0x0059, 0x0053},
     "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n", false},
    {"N",
     {0x0048, 0x0065, 0x006C, 0x006C, 0x006F, 0x002D, 0x0041, 0x006E, 0x006F, 0x0074, 0x0068, 0x0065,
      0x0072, 0x002D, 0x0057, 0x0061, 0x0079, 0x002D, 0x305D, 0x308C, 0x305E, 0x308C, 0x306E, 0x5834,
      0x6240},
     "Hello-Another-Way--fc4qua05auwb3674vfr0b", false},
    {"O",
     {0x3072, 0x3068, 0x3064, 0x5C4B, 0x6839, 0x306E, 0x4E0B, 0x0032},
     "2-u9tlzr9756bt3uc0v", false},
    {"P",
     {0x004D, 0x0061, 0x006A, 0x0069, 0x3067, 0x004B, 0x006F, 0x0069, 0x3059, 0x308B, 0x0035, 0x79D2,
      0x524D},
     "MajiKoi5-783gue6qz075azm5e", false},
    {"Q",
     {0x30D1, 0x30D5, 0x30A3, 0x30FC, 0x0064, 0x0065, 0x30EB, 0x30F3, 0x30D0},
     "de-jg4avhby1noc0d", false},
    {"R",
     {0x305D, 0x306E, 0x30B9, 0x30D4, 0x30FC, 0x30C9, 0x3067},
     "d9juau41awczczp", false},
    {"S",
     {0x002D, 0x003E, 0x0020, 0x0024, 0x0031, 0x002E, 0x0030, 0x0030, 0x0020, 0x003C, 0x002D},
     "-> $1.00 <--", false},
};

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; });
    return s;
}

TEST(punycode, rfc3492_samples_decode)
{
    for (const auto& s : rfc3492_samples) {
        SCOPED_TRACE(s.name);
        auto decoded = punycode_decode(s.punycode, 63);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, s.code_points);
    }
}

TEST(punycode, rfc3492_samples_encode)
{
    for (const auto& s : rfc3492_samples) {
        SCOPED_TRACE(s.name);
        auto encoded = punycode_encode(s.code_points, 256);
        ASSERT_TRUE(encoded.has_value());
        if (s.case_flags)
            EXPECT_EQ(lower(*encoded), lower(s.punycode));
        else
            EXPECT_EQ(*encoded, s.punycode);
    }
}

TEST(punycode, decode_failures)
{
    const struct {
        std::string input;
        std::size_t limit;
    } failures[] = {
        {"a!b", 63},                          // not a digit
        {"-abc", 63},                         // the delimiter at the front is read as a digit
        {"\xC3\xBC-kva", 63},                 // non-basic byte before the delimiter
        {"bcher-kv", 63},                     // number cut short
        {"bcher-kva", 5},                     // more code points than allowed
        {"abc-", 2},                          // basic code points alone exceed the limit
        {"99999999999999", 63},               // overflow while reading a number
        {"zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz", 63}, // overflow while reading a number
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.input);
        EXPECT_FALSE(punycode_decode(f.input, f.limit).has_value());
    }
}

TEST(punycode, limits_are_inclusive)
{
    EXPECT_EQ(punycode_decode("bcher-kva", 6), std::u32string(U"b\u00FCcher"));
    EXPECT_EQ(punycode_encode(U"b\u00FCcher", 9), std::string("bcher-kva"));
    EXPECT_FALSE(punycode_encode(U"b\u00FCcher", 8).has_value());
    EXPECT_FALSE(punycode_encode(U"abc", 3).has_value()); // no room for the delimiter
}

TEST(punycode, empty_and_basic_only)
{
    EXPECT_EQ(punycode_decode("", 63), std::u32string());
    EXPECT_EQ(punycode_encode(U"", 256), std::string());
    EXPECT_EQ(punycode_decode("a_b-", 63), std::u32string(U"a_b"));
    EXPECT_EQ(punycode_encode(U"a_b", 256), std::string("a_b-"));
}

TEST(punycode, encoder_refuses_values_beyond_unicode)
{
    EXPECT_FALSE(punycode_encode(std::u32string(1, char32_t(0x110000)), 256).has_value());
    EXPECT_FALSE(punycode_encode(std::u32string(1, char32_t(0xFFFFFFFF)), 256).has_value());
}

} // namespace
} // namespace nv::nvs
