#include "tests/support/pattern_scan.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <locale>
#include <string>

namespace nv::nvs::test {

namespace {

// Pairs of neighbouring characters are kept as bits of a small hashed set;
// a collision only lets a pattern through to the real search.
constexpr std::size_t pair_bits = 4096;

std::size_t pair_of(unsigned char a, unsigned char b) noexcept { return (a * 131u + b) % pair_bits; }

} // namespace

std::uint32_t scan_patterns(const std::vector<std::string_view>& patterns, std::string_view text)
{
    if (patterns.empty() || text.empty())
        return no_pattern;
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

    // A pattern with a character or a pair of neighbours the text lacks is
    // passed over before any search.
    for (std::uint32_t index = 0; index < patterns.size(); ++index) {
        const std::string_view pattern = patterns[index];
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
            return index;
    }
    return no_pattern;
}

} // namespace nv::nvs::test
