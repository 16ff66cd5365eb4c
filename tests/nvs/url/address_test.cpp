// Client addresses: parsing, order, and their text.
#include "nvs/url/address.h"

#include <gtest/gtest.h>

#include <iterator>
#include <net/if.h>
#include <string>
#include <vector>

namespace nv::nvs {
namespace {

std::vector<std::string> texts_of(const address_set_t& set)
{
    std::vector<std::string> out;
    for (const auto& a : set)
        out.push_back(a.to_string());
    return out;
}

TEST(address, parses_ipv6_then_ipv4)
{
    const struct {
        std::string input;
        bool v4;
        std::vector<std::uint8_t> bytes;
        std::uint32_t scope;
    } cases[] = {
        {"10.0.0.1", true, {10, 0, 0, 1}, 0},
        {"255.255.255.255", true, {255, 255, 255, 255}, 0},
        {"::1", false, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0},
        {"::ffff:10.0.0.1", false, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1}, 0},
        {"fe80::1%7", false, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 7},
        {"2001:DB8::a%4294967295", false, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a},
         4294967295u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        auto a = parse_ip_address(c.input);
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(a->is_v4(), c.v4);
        EXPECT_EQ(a->is_v6(), !c.v4);
        EXPECT_EQ(std::vector<std::uint8_t>(a->bytes().begin(), a->bytes().end()), c.bytes);
        EXPECT_EQ(a->scope_id(), c.scope);
    }
}

TEST(address, scope_by_interface_name)
{
    unsigned lo = ::if_nametoindex("lo");
    ASSERT_NE(lo, 0u) << "the loopback interface is missing";
    auto a = parse_ip_address("fe80::1%lo");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->scope_id(), lo);
    // A link-local address shows its scope by interface name, others by number.
    EXPECT_EQ(a->to_string(), "fe80::1%lo");
    EXPECT_EQ(parse_ip_address("2001:db8::1%lo")->to_string(), "2001:db8::1%" + std::to_string(lo));
    EXPECT_EQ(parse_ip_address("fe80::1%" + std::to_string(lo))->to_string(), "fe80::1%lo");
}

TEST(address, rejects_what_is_neither)
{
    for (const std::string& input : std::vector<std::string>{"", "h.b", "10.0.0", "10.0.0.256", "10.0.0.1%1", " 10.0.0.1", "10.0.0.1 ",
                              "::1%", "::1%no-such-interface0", "::1%4294967296", "::1%-1", ":::1", "[::1]",
                              std::string("10.0.0.1\0x", 10), std::string(100, '1')}) {
        SCOPED_TRACE(::testing::PrintToString(input));
        EXPECT_FALSE(parse_ip_address(input).has_value());
    }
}

TEST(address, set_orders_ipv4_first_and_collapses_equal_ones)
{
    address_set_t set;
    for (const char* text : {"10.0.0.1", "::1", "10.0.0.1"})
        set.insert(*parse_ip_address(text));
    EXPECT_EQ(texts_of(set), (std::vector<std::string>{"10.0.0.1", "::1"}));

    // Numeric order for IPv4 (byte order in network order), bytes then scope for IPv6.
    set.clear();
    for (const char* text : {"::2", "fe80::1%2", "9.255.255.255", "fe80::1%1", "::1", "10.0.0.0", "fe80::1%1",
                             "128.0.0.1"})
        set.insert(*parse_ip_address(text));
    std::vector<ip_address_t> expected;
    for (const char* text : {"9.255.255.255", "10.0.0.0", "128.0.0.1", "::1", "::2", "fe80::1%1", "fe80::1%2"})
        expected.push_back(*parse_ip_address(text));
    EXPECT_EQ(std::vector<ip_address_t>(set.begin(), set.end()), expected);
    EXPECT_EQ(std::prev(set.end())->scope_id(), 2u);
}

TEST(address, v4_value_is_in_host_order)
{
    EXPECT_EQ(parse_ip_address("10.1.2.3")->v4_value(), 0x0A010203u);
}

} // namespace
} // namespace nv::nvs
