// Percent decoding and encoding of components.
#include "nvs/url/percent.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <string>

namespace nv::nvs {
namespace {

TEST(percent, decode)
{
    const struct {
        std::string input;
        std::string output;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"a+b", "a b"},
        {"%41%62%2f%2F", "Ab//"},
        {"%00", std::string(1, '\0')},
        {"%C3%BC", "\xC3\xBC"},
        {"%2", ""},      // truncated escape: empty result
        {"ab%", ""},
        {"%41%4", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(url_decode(c.input), c.output);
    }
}

TEST(percent, decode_rejects_non_hex_digits)
{
    for (std::string input : {"%zz", "%4g", "%g4", "a%+1"}) {
        SCOPED_TRACE(input);
        try {
            url_decode(input);
            ADD_FAILURE() << "no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), boost::system::errc::illegal_byte_sequence);
        }
    }
}

TEST(percent, decode_or_keep_keeps_the_whole_component)
{
    const struct {
        std::string input;
        std::string output;
    } cases[] = {
        {"a%20b+c", "a b c"},
        {"%41%zz", "%41%zz"}, // one bad escape keeps the good one raw too
        {"%41%2", "%41%2"},
        {"%", "%"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(decode_or_keep(c.input), c.output);
    }
}

TEST(percent, encode)
{
    EXPECT_EQ(url_encode("aZ09-_.*+"), "aZ09-_.*+");
    EXPECT_EQ(url_encode("~!'()/?#&=%: "), "%7E%21%27%28%29%2F%3F%23%26%3D%25%3A%20");
    EXPECT_EQ(url_encode(std::string("\0\x01\x1f\x7f\x80\xc3\xbc\xff", 8)), "%00%01%1F%7F%80%C3%BC%FF");
    EXPECT_EQ(url_encode(""), "");
}

TEST(percent, encode_keep_byte)
{
    EXPECT_EQ(url_encode("/a b/~"), "%2Fa%20b%2F%7E");
    EXPECT_EQ(url_encode("/a b/~", '/'), "/a%20b/%7E");
    EXPECT_EQ(url_encode("+", '/'), "+");
}

TEST(percent, decoding_undoes_encoding_except_plus)
{
    std::string all_bytes;
    for (int b = 0; b < 256; ++b)
        if (b != '+')
            all_bytes += char(b);
    EXPECT_EQ(url_decode(url_encode(all_bytes)), all_bytes);
    EXPECT_EQ(url_decode(url_encode("a+b")), "a b");
}

} // namespace
} // namespace nv::nvs
