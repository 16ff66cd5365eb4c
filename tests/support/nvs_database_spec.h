#pragma once
// Databases described by their entries (keys, addresses, patterns, notices)
// rather than by bytes: sorted, grouped and laid out the way the readers
// expect, signed with the test key. For lookup tests.

#include "nvs/index/keys.h"
#include "nvs/index/writer.h"
#include "nvs/url/address.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nv::nvs::test {

using index::md5_key_t;

// A record of type 4, or of type 5 when `lists` is set (an empty vector of
// lists gives a type 5 record with list count 0).
struct url_record_t {
    unsigned level = 0;
    unsigned depth = 0;
    md5_key_t key{};
    std::optional<std::vector<std::vector<md5_key_t>>> lists;
    std::optional<std::string> notice; // JSON text stored in type 8 for this record
};

struct ipv6_group_t {
    unsigned prefix = 0;
    std::vector<md5_key_t> keys; // sorted by the builder
};

struct database_spec_t {
    std::string name = "gamble";
    std::vector<std::string> patterns;                          // kept in this order
    std::vector<std::uint32_t> ipv4_hosts;                      // sorted by the builder
    std::vector<md5_key_t> ipv6_hashes;                         // sorted by the builder
    std::vector<std::pair<std::uint32_t, unsigned>> ipv4_networks; // (address, prefix), sorted by the builder
    std::vector<ipv6_group_t> ipv6_groups;                      // kept in this order
    std::vector<url_record_t> urls;                             // sorted by level, depth, key

    // Copies with one member replaced, for building specs in tables.
    database_spec_t with_name(std::string v) const { auto c = *this; c.name = std::move(v); return c; }
    database_spec_t with_patterns(std::vector<std::string> v) const { auto c = *this; c.patterns = std::move(v); return c; }
    database_spec_t with_ipv4_hosts(std::vector<std::uint32_t> v) const { auto c = *this; c.ipv4_hosts = std::move(v); return c; }
    database_spec_t with_ipv6_hashes(std::vector<md5_key_t> v) const { auto c = *this; c.ipv6_hashes = std::move(v); return c; }
    database_spec_t with_ipv4_networks(std::vector<std::pair<std::uint32_t, unsigned>> v) const
    {
        auto c = *this;
        c.ipv4_networks = std::move(v);
        return c;
    }
    database_spec_t with_ipv6_groups(std::vector<ipv6_group_t> v) const { auto c = *this; c.ipv6_groups = std::move(v); return c; }
    database_spec_t with_urls(std::vector<url_record_t> v) const { auto c = *this; c.urls = std::move(v); return c; }
};

// The signed image of the database.
index::bytes_t build_image(const database_spec_t& spec);

// Writes the image to the path.
void write_database(const std::string& path, const database_spec_t& spec);

// a.b.c.d as a number.
constexpr std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return std::uint32_t(a) << 24 | std::uint32_t(b) << 16 | std::uint32_t(c) << 8 | d;
}

// The address parsed from text; fails the calling test's expectations loudly
// (by throwing) when the text is not an address.
ip_address_t address(std::string_view text);

// A host/path record: level and depth with the MD5 of exactly the given text.
url_record_t host_record(unsigned level, unsigned depth, std::string_view hashed_text);

// A record with the given key.
url_record_t key_record(unsigned level, unsigned depth, const md5_key_t& key);

} // namespace nv::nvs::test
