// Raw URLs through the parser: every component and both text forms per input.
#include "nvs/url/url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nv::nvs {
namespace {

using format_t = url_t::format_t;
using pairs_t = std::vector<std::pair<std::string, std::string>>;

struct parse_case_t {
    std::string input;
    std::string scheme;
    std::string user;
    std::string password;
    std::string host;
    std::optional<std::uint16_t> port;
    std::string path;
    pairs_t parameters;
    std::string fragment;
    std::string escaped;
    std::string plain;
};

pairs_t pairs_of(const url_t::parameters_t& parameters)
{
    pairs_t out;
    for (const auto& p : parameters)
        out.emplace_back(p.name, p.value);
    return out;
}

const std::string u_umlaut = "\xC3\xBC"; // ü
const std::string label_63_ascii = std::string(62, 'a') + "_";
const std::string label_64_ascii = std::string(63, 'a') + "_";
std::string repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const parse_case_t parse_cases[] = {
    // input, scheme, user, password, host, port, path, parameters, fragment, escaped, plain
    {"", "", "", "", "", std::nullopt, "", {}, "", "", ""},
    {"h.b", "", "", "", "h.b", std::nullopt, "", {}, "", "h.b", "h.b"},
    {"/index.html?a=1", "", "", "", "", std::nullopt, "/index.html", {{"a", "1"}}, "", "/index.html?a=1",
     "/index.html?a=1"},
    {"?a=1", "", "", "", "", std::nullopt, "", {{"a", "1"}}, "", "?a=1", "?a=1"},
    {"://h", "", "", "", "h", std::nullopt, "", {}, "", "h", "h"},
    // Dots at the ends of the host go; the default port and a lone "/" leave only the plain form.
    {"HTTP://..H.B.:80/", "HTTP", "", "", "h.b", 80, "/", {}, "", "HTTP://h.b:80/", "HTTP://h.b"},
    {"http://h.b:99999/x", "http", "", "", "h.b", std::nullopt, "/x", {}, "", "http://h.b/x", "http://h.b/x"},
    {"http://h.b:x/x", "http", "", "", "h.b", std::nullopt, "/x", {}, "", "http://h.b/x", "http://h.b/x"},
    // The text after the last ':' is always cut off as the port, even inside brackets.
    {"http://[::1]/", "http", "", "", "[:", std::nullopt, "/", {}, "", "http://xn--[:-/", "http://[:"},
    {"http://[::1]:8080/", "http", "", "", "[::1]", 8080, "/", {}, "", "http://xn--[::1]-:8080/",
     "http://[::1]:8080"},
    // An '@' in the path is not user info: the host stays "h".
    {"http://h/p@q", "http", "", "", "h", std::nullopt, "/p@q", {}, "", "http://h/p%40q", "http://h/p@q"},
    {"http://u@h/p@q", "http", "u", "", "h", std::nullopt, "/p@q", {}, "", "http://u@h/p%40q", "http://u@h/p@q"},
    {"/p@q", "", "", "", "", std::nullopt, "/p@q", {}, "", "/p%40q", "/p@q"},
    // '#' and then '?' are taken from the right.
    {"http://h/p#a#b", "http", "", "", "h", std::nullopt, "/p#a", {}, "b", "http://h/p%23a#b", "http://h/p#a#b"},
    {"http://h/p?x=1?y=2", "http", "", "", "h", std::nullopt, "/p?x=1", {{"y", "2"}}, "",
     "http://h/p%3Fx%3D1?y=2", "http://h/p?x=1?y=2"},
    {"http://h/p?q#f?g", "http", "", "", "h", std::nullopt, "/p", {{"q", ""}}, "f?g", "http://h/p?q#f%3Fg",
     "http://h/p?q#f?g"},
    // '+' is a space; escaping writes it back as %20.
    {"http://h/a%20b+c", "http", "", "", "h", std::nullopt, "/a b c", {}, "", "http://h/a%20b%20c",
     "http://h/a b c"},
    // A bad or truncated escape keeps the whole component as written.
    {"http://h/a%zz", "http", "", "", "h", std::nullopt, "/a%zz", {}, "", "http://h/a%25zz", "http://h/a%zz"},
    {"http://h/a%2", "http", "", "", "h", std::nullopt, "/a%2", {}, "", "http://h/a%252", "http://h/a%2"},
    {"http://h/%41%zz", "http", "", "", "h", std::nullopt, "/%41%zz", {}, "", "http://h/%2541%25zz",
     "http://h/%41%zz"},
    {"http://h.b/a%2Fb", "http", "", "", "h.b", std::nullopt, "/a/b", {}, "", "http://h.b/a/b", "http://h.b/a/b"},
    {"?a%zz=%41", "", "", "", "", std::nullopt, "", {{"a%zz", "A"}}, "", "?a%25zz=A", "?a%zz=A"},
    // Empty items are kept; an empty value prints without '='; a leading empty one adds nothing.
    {"http://h/?a&&b=", "http", "", "", "h", std::nullopt, "/", {{"a", ""}, {"", ""}, {"b", ""}}, "",
     "http://h/?a&&b", "http://h/?a&&b"},
    {"http://h/?&a=1", "http", "", "", "h", std::nullopt, "/", {{"", ""}, {"a", "1"}}, "", "http://h/?a=1",
     "http://h/?a=1"},
    {"?a=1&", "", "", "", "", std::nullopt, "", {{"a", "1"}}, "", "?a=1", "?a=1"},
    {"?a=b=c&a=b=c", "", "", "", "", std::nullopt, "", {{"a", "b=c"}, {"a", "b=c"}}, "", "?a=b%3Dc&a=b%3Dc",
     "?a=b=c&a=b=c"},
    // Punycode in, out again in the escaped form; only the lower-case prefix is decoded.
    {"http://xn--bcher-kva.b/", "http", "", "", "b" + u_umlaut + "cher.b", std::nullopt, "/", {}, "",
     "http://xn--bcher-kva.b/", "http://b" + u_umlaut + "cher.b"},
    {"http://XN--BCHER-KVA.b/", "http", "", "", "xn--bcher-kva.b", std::nullopt, "/", {}, "",
     "http://xn--bcher-kva.b/", "http://xn--bcher-kva.b"},
    {"http://B\xC3\x9C" "CHER.b", "http", "", "", "b\xC3\x9C" "cher.b", std::nullopt, "", {}, "",
     "http://xn--bcher-2pa.b", "http://b\xC3\x9C" "cher.b"},
    {"http://a_b.h/", "http", "", "", "a_b.h", std::nullopt, "/", {}, "", "http://xn--a_b-.h/", "http://a_b.h"},
    // An undecodable Punycode label becomes empty and, in front, vanishes with its dot.
    {"http://xn--a!b.c/", "http", "", "", "c", std::nullopt, "/", {}, "", "http://c/", "http://c"},
    {"http://c.xn--a!b/", "http", "", "", "c.", std::nullopt, "/", {}, "", "http://c./", "http://c."},
    // Labels needing encoding: 63 bytes are encoded, 64 bytes are dropped (with the dot in front).
    {"http://x." + label_63_ascii + ".h/", "http", "", "", "x." + label_63_ascii + ".h", std::nullopt, "/", {}, "",
     "http://x.xn--" + label_63_ascii + "-.h/", "http://x." + label_63_ascii + ".h"},
    {"http://x." + label_64_ascii + ".h/", "http", "", "", "x." + label_64_ascii + ".h", std::nullopt, "/", {}, "",
     "http://x..h/", "http://x." + label_64_ascii + ".h"},
    {"http://" + repeat(u_umlaut, 32) + ".h/", "http", "", "", repeat(u_umlaut, 32) + ".h", std::nullopt, "/", {},
     "", "http://h/", "http://" + repeat(u_umlaut, 32) + ".h"},
    // User info: split at its last ':'; both decoded, both escaped again.
    {"ftp://us%20er:pa:ss@h.b:21/f", "ftp", "us er:pa", "ss", "h.b", 21, "/f", {}, "",
     "ftp://us%20er%3Apa:ss@h.b:21/f", "ftp://us er:pa:ss@h.b:21/f"},
    {"http://:pw@h", "http", "", "pw", "h", std::nullopt, "", {}, "", "http://:pw@h", "http://:pw@h"},
    {"mailto:x@y", "", "mailto", "x", "y", std::nullopt, "", {}, "", "mailto:x@y", "mailto:x@y"},
    // Default ports are left out of the plain form only, compared without case for the scheme.
    {"https://h:443/x", "https", "", "", "h", 443, "/x", {}, "", "https://h:443/x", "https://h/x"},
    {"HttpS://h:80/", "HttpS", "", "", "h", 80, "/", {}, "", "HttpS://h:80/", "HttpS://h:80"},
    {"ftp://h:80/", "ftp", "", "", "h", 80, "/", {}, "", "ftp://h:80/", "ftp://h:80"},
    {"http://h/#f", "http", "", "", "h", std::nullopt, "/", {}, "f", "http://h/#f", "http://h/#f"},
    // Port text: a sign, then digits only, at most 65535; '-' negates modulo 65536.
    {"h:-1", "", "", "", "h", 65535, "", {}, "", "h:65535", "h:65535"},
    {"h:+8080", "", "", "", "h", 8080, "", {}, "", "h:8080", "h:8080"},
    {"h:0", "", "", "", "h", 0, "", {}, "", "h:0", "h:0"},
    {"h:65535", "", "", "", "h", 65535, "", {}, "", "h:65535", "h:65535"},
    {"h:65536", "", "", "", "h", std::nullopt, "", {}, "", "h", "h"},
    {"h:-", "", "", "", "h", std::nullopt, "", {}, "", "h", "h"},
    {"h:", "", "", "", "h", std::nullopt, "", {}, "", "h", "h"},
    {"h: 80", "", "", "", "h", std::nullopt, "", {}, "", "h", "h"},
    // The scheme search covers the whole text, unless it begins with '/' or '?'.
    {"h.b/p?u=http://x", "h.b/p?u=http", "", "", "x", std::nullopt, "", {}, "", "h.b/p?u=http://x",
     "h.b/p?u=http://x"},
    {"/x://y", "", "", "", "", std::nullopt, "/x://y", {}, "", "/x%3A//y", "/x://y"},
    {"?://x", "", "", "", "", std::nullopt, "", {{"://x", ""}}, "", "?%3A%2F%2Fx", "?://x"},
    // Bytes the form cannot show are escaped; '~' is escaped too.
    {std::string("h/a\0b~", 6), "", "", "", "h", std::nullopt, std::string("/a\0b~", 5), {}, "", "h/a%00b%7E",
     std::string("h/a\0b~", 6)},
};

TEST(url_parse, edge_cases)
{
    for (const auto& c : parse_cases) {
        SCOPED_TRACE("input \"" + c.input + "\"");
        url_t url(c.input);
        EXPECT_EQ(url.scheme(), c.scheme);
        EXPECT_EQ(url.user(), c.user);
        EXPECT_EQ(url.password(), c.password);
        EXPECT_EQ(url.host(), c.host);
        EXPECT_EQ(url.port(), c.port);
        EXPECT_EQ(url.path(), c.path);
        EXPECT_EQ(pairs_of(url.parameters()), c.parameters);
        EXPECT_EQ(url.fragment(), c.fragment);
        EXPECT_TRUE(url.addresses().empty());
        EXPECT_EQ(url.str(format_t::escaped), c.escaped);
        EXPECT_EQ(url.str(format_t::plain), c.plain);
    }
}

TEST(url_parse, reads_only_the_given_bytes)
{
    const std::string buffer = "http://h.b/path?a=1#fXYZ";
    url_t url(std::string_view(buffer).substr(0, buffer.size() - 3));
    EXPECT_EQ(url.fragment(), "f");
    EXPECT_EQ(url.str(format_t::plain), "http://h.b/path?a=1#f");
}

TEST(url_parse, keeps_the_initial_addresses)
{
    address_set_t addresses{*parse_ip_address("10.0.0.1")};
    url_t url("http://h.b/", addresses);
    EXPECT_EQ(url.addresses(), addresses);
}

} // namespace
} // namespace nv::nvs
