// The searches of section types 1, 2, 3, 6 and 7.
#include "nvs/index/address_sections.h"
#include "nvs/index/cursor.h"
#include "nvs/index/ipv6_networks.h"
#include "nvs/index/patterns.h"
#include "nvs/index/sorted_records.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <locale>
#include <string>

namespace nv::nvs::index {

namespace {

// Pairs of neighbouring characters are kept as bits of a small hashed set;
// a collision only lets a pattern through to the real search.
constexpr std::size_t pair_bits = 4096;

std::size_t pair_of(unsigned char a, unsigned char b) noexcept { return (a * 131u + b) % pair_bits; }

} // namespace

match_t patterns_t::find(std::string_view text) const
{
    if (patterns_.empty() || text.empty())
        return {};
    // Letters match regardless of case: both sides go through the upper-case
    // mapping of the global locale's classification, taken once per search.
    std::array<char, 256> upper;
    for (std::size_t c = 0; c < upper.size(); ++c)
        upper[c] = char(c);
    std::use_facet<std::ctype<char>>(std::locale()).toupper(upper.data(), upper.data() + upper.size());
    const auto up = [&upper](char c) { return upper[static_cast<unsigned char>(c)]; };

    std::string upper_text(text.size(), '\0');
    std::bitset<256> chars;
    std::bitset<pair_bits> pairs;
    for (std::size_t i = 0; i < text.size(); ++i) {
        upper_text[i] = up(text[i]);
        chars.set(static_cast<unsigned char>(upper_text[i]));
        if (i > 0)
            pairs.set(pair_of(static_cast<unsigned char>(upper_text[i - 1]), static_cast<unsigned char>(upper_text[i])));
    }

    // Thousands of patterns are tried per URL, nearly all absent: a pattern
    // with a character or a pair of neighbours the text lacks is passed over
    // before any search.
    for (const std::string_view pattern : patterns_) {
        if (pattern.empty() || pattern.size() > upper_text.size())
            continue;
        if (!chars.test(static_cast<unsigned char>(up(pattern[0]))))
            continue;
        bool possible = true;
        for (std::size_t i = 1; possible && i < pattern.size(); ++i)
            possible = pairs.test(pair_of(static_cast<unsigned char>(up(pattern[i - 1])),
                                          static_cast<unsigned char>(up(pattern[i]))));
        if (!possible)
            continue;
        const auto at = std::search(upper_text.begin(), upper_text.end(), pattern.begin(), pattern.end(),
                                    [&up](char t, char p) { return t == up(p); });
        if (at != upper_text.end())
            return {true, content_->offset_of(pattern.data())};
    }
    return {};
}

match_t ipv4_hosts_t::find(std::uint32_t address) const noexcept
{
    std::uint32_t low = 0, high = size();
    while (low < high) {
        const std::uint32_t mid = low + (high - low) / 2;
        if (load32(record(mid)) < address)
            low = mid + 1;
        else
            high = mid;
    }
    if (low < size() && load32(record(low)) == address)
        return {true, content().offset_of(record(low))};
    return {};
}

match_t ipv6_hashes_t::find(const md5_key_t& key) const noexcept
{
    const std::uint32_t i = lower_bound_key(data(), size(), record_size, 0, key.data());
    if (i < size() && field_equals(data(), i, record_size, 0, key.data(), key.size()))
        return {true, content().offset_of(record(i))};
    return {};
}

match_t ipv4_networks_t::find(std::uint32_t address) const noexcept
{
    // The first record above the address; the one before it is the candidate.
    std::uint32_t low = 0, high = size();
    while (low < high) {
        const std::uint32_t mid = low + (high - low) / 2;
        if (load32(record(mid)) <= address)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == 0)
        return {};
    const std::uint8_t* candidate = record(low - 1);
    const unsigned prefix = candidate[4];
    // Prefix 0 covers every address, prefixes above 32 only the address itself.
    const std::uint32_t mask = prefix == 0 ? 0 : prefix >= 32 ? ~0u : ~0u << (32 - prefix);
    if ((address & mask) == load32(candidate))
        return {true, content().offset_of(candidate)};
    return {};
}

match_t ipv6_networks_t::find(std::span<const std::uint8_t, 16> address) const
{
    for (const auto& group : groups_) {
        const md5_key_t key = ipv6_network_key(address, group.prefix_length);
        const std::uint32_t i = lower_bound_key(group.keys, group.count, 16, 0, key.data());
        if (i < group.count && field_equals(group.keys, i, 16, 0, key.data(), key.size()))
            return {true, content_->offset_of(group.keys + std::size_t(i) * 16)};
    }
    return {};
}

} // namespace nv::nvs::index
