#include "tests/support/nvs_database_spec.h"

#include "tests/support/nvs_fixture.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <tuple>

namespace nv::nvs::test {

namespace {

using index::put16;
using index::put32;
using index::put8;

bool record_less(const url_record_t& a, const url_record_t& b)
{
    return std::tie(a.level, a.depth, a.key) < std::tie(b.level, b.depth, b.key);
}

void put_key(bytes_t& out, const md5_key_t& key) { out.insert(out.end(), key.begin(), key.end()); }

void put_head(bytes_t& out, const url_record_t& r)
{
    put8(out, std::uint8_t(r.level));
    put16(out, std::uint16_t(r.depth));
    put_key(out, r.key);
}

} // namespace

index::bytes_t build_image(const database_spec_t& spec)
{
    std::vector<bytes_t> sections(9);

    for (const auto& p : spec.patterns) {
        sections[1].insert(sections[1].end(), p.begin(), p.end());
        sections[1].push_back(0);
    }

    auto hosts = spec.ipv4_hosts;
    std::sort(hosts.begin(), hosts.end());
    for (const auto a : hosts)
        put32(sections[2], a);

    auto hashes = spec.ipv6_hashes;
    std::sort(hashes.begin(), hashes.end());
    for (const auto& k : hashes)
        put_key(sections[3], k);

    auto networks = spec.ipv4_networks;
    std::sort(networks.begin(), networks.end());
    for (const auto& [a, prefix] : networks) {
        put32(sections[6], a);
        put8(sections[6], std::uint8_t(prefix));
    }

    if (!spec.ipv6_groups.empty()) {
        put8(sections[7], std::uint8_t(spec.ipv6_groups.size()));
        for (const auto& g : spec.ipv6_groups) {
            put8(sections[7], std::uint8_t(g.prefix));
            put32(sections[7], std::uint32_t(g.keys.size()));
            auto keys = g.keys;
            std::sort(keys.begin(), keys.end());
            for (const auto& k : keys)
                put_key(sections[7], k);
        }
    }

    std::vector<url_record_t> plain, with_params;
    for (const auto& r : spec.urls)
        (r.lists ? with_params : plain).push_back(r);
    std::sort(plain.begin(), plain.end(), record_less);
    std::sort(with_params.begin(), with_params.end(), record_less);
    for (const auto& r : plain)
        put_head(sections[4], r);
    for (const auto& r : with_params) {
        put_head(sections[5], r);
        put32(sections[5], std::uint32_t(sections[0].size()));
        put32(sections[5], std::uint32_t(r.lists->size()));
        for (const auto& list : *r.lists) {
            put8(sections[0], std::uint8_t(list.size()));
            for (const auto& k : list)
                put_key(sections[0], k);
        }
    }

    // Notices are keyed by record offset, which follows from the layout of
    // the sections before type 8.
    std::vector<std::size_t> sizes;
    for (const auto& s : sections)
        sizes.push_back(s.size());
    const auto offsets = index::section_offsets(sizes, index::header_size(sections.size(), spec.name.size()));
    std::map<std::uint32_t, bytes_t> notices;
    for (std::size_t i = 0; i < plain.size(); ++i)
        if (plain[i].notice)
            notices[offsets[4] + std::uint32_t(i * 19)] = deflate_raw(*plain[i].notice);
    for (std::size_t i = 0; i < with_params.size(); ++i)
        if (with_params[i].notice)
            notices[offsets[5] + std::uint32_t(i * 27)] = deflate_raw(*with_params[i].notice);
    if (!notices.empty()) {
        bytes_t& out = sections[8];
        put32(out, std::uint32_t(notices.size()));
        for (const auto& [key, blob] : notices)
            put32(out, key);
        std::uint32_t at = std::uint32_t(4 + 8 * notices.size());
        for (const auto& [key, blob] : notices) {
            put32(out, at);
            at += std::uint32_t(4 + blob.size());
        }
        for (const auto& [key, blob] : notices) {
            put32(out, std::uint32_t(blob.size()));
            out.insert(out.end(), blob.begin(), blob.end());
        }
    }
    return index::assemble(sections, {2025, 1, 2, 3, 4, 5}, spec.name, test_key());
}

void write_database(const std::string& path, const database_spec_t& spec) { write_file(path, build_image(spec)); }

ip_address_t address(std::string_view text)
{
    const auto a = parse_ip_address(text);
    if (!a)
        throw std::invalid_argument("not an IP address: " + std::string(text));
    return *a;
}

url_record_t host_record(unsigned level, unsigned depth, std::string_view hashed_text)
{
    url_record_t r;
    r.level = level;
    r.depth = depth;
    r.key = index::md5_of(hashed_text);
    return r;
}

url_record_t key_record(unsigned level, unsigned depth, const md5_key_t& key)
{
    url_record_t r;
    r.level = level;
    r.depth = depth;
    r.key = key;
    return r;
}

} // namespace nv::nvs::test
