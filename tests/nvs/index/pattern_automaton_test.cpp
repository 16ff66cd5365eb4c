// The one-pass pattern automaton: hand-made cases that need its failure links,
// suffix outputs and ordering right, each also checked with the reference scan.
#include "nvs/index/pattern_automaton.h"
#include "tests/support/pattern_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nv::nvs {
namespace {

using index::pattern_automaton_t;
using namespace std::string_literals;

constexpr std::uint32_t none = pattern_automaton_t::none;
static_assert(none == test::no_pattern);

std::vector<std::string_view> views_of(const std::vector<std::string>& patterns)
{
    return {patterns.begin(), patterns.end()};
}

struct case_t {
    const char* name;
    std::vector<std::string> patterns;
    std::string text;
    std::uint32_t expected;
};

// Children of one node beyond the linear search: "k" followed by each of 40 bytes.
std::vector<std::string> wide_node(std::string last)
{
    std::vector<std::string> patterns;
    for (char c = '0'; c < '0' + 40; ++c)
        patterns.push_back("k"s + c + "!");
    patterns.push_back(std::move(last));
    return patterns;
}

TEST(PatternAutomaton, FindsTheFirstPatternInListOrder)
{
    const case_t cases[] = {
        {"a later pattern earlier in the text", {"world", "hello"}, "hello world", 0},
        {"no early stop on a worse pattern", {"zzz", "b", "a"}, "ab", 1},
        {"the lowest index wins wherever it lies", {"q", "B", "a"}, "xaaaaab", 1},
        {"suffix outputs: hers", {"hers", "his", "she", "he"}, "ushers", 0},
        {"suffix outputs: she over he", {"hers", "his", "she", "he"}, "ushe", 2},
        {"reached only through a failure link", {"abcd", "bce"}, "abce", 1},
        {"a pattern inside an unfinished longer one", {"abcd", "c"}, "abcx", 1},
        {"a suffix two failure links away", {"xabcy", "zz", "c"}, "xabcz", 2},
        {"prefix of a longer pattern, longer absent", {"abc", "ab"}, "abd", 1},
        {"prefix of a longer pattern, longer present", {"abc", "ab"}, "zabc", 0},
        {"longer pattern first, cut short", {"abcdef", "abc"}, "xabcdex", 1},
        {"repeated pattern keeps the first", {"zz", "ab", "ab"}, "ab", 1},
        {"case variants of one text", {"q", "AB", "ab"}, "xaBx", 1},
        {"upper-case text, lower-case pattern", {"q=v"}, "HTTP://H/?Q=V", 0},
        {"punctuation is not folded", {"a-b"}, "a_b", none},
        {"the empty pattern never matches", {"", "x"}, "x", 1},
        {"only the empty pattern", {""}, "abc", none},
        {"the empty text", {"a"}, "", none},
        {"no patterns", {}, "abc", none},
        {"bytes above 0x7f are not folded", {"\xC3\xA9", "\xC3\x89"}, "caf\xC3\x89", 1},
        {"a byte above 0x7f in a partial match", {"a\xFF", "\xFFz"}, "a\xFFz", 0},
        {"0xFF after 0x7F", {"\x7F\xFF"}, "\x7F\x7F\xFF", 0},
        {"a zero byte in the text", {"b"}, "a\0b"s, 0},
        {"a zero byte breaks a pattern", {"ab"}, "a\0b"s, none},
        {"the whole text", {"abc"}, "abc", 0},
        {"longer than the text", {"abcd"}, "abc", none},
        {"restart on a repeated letter", {"aab"}, "aaab", 0},
        {"overlap with itself", {"abab"}, "abaabab", 0},
        {"at the very end", {"/x"}, "h/x", 0},
        {"at the very start", {"HTTP:"}, "http://h", 0},
        {"scattered pairs", {"abcd"}, "ab-bc-cd", none},
        {"wide node, child found by bisection", wide_node("k7!"), "xxk7!", 7},
        {"wide node, duplicate later", wide_node("k7!"), "k9!k7!", 7},
        {"wide node, last child", wide_node("kz"), "kZ", 40},
        {"wide node, label between children", wide_node("x"), "k%!", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto patterns = views_of(c.patterns);
        EXPECT_EQ(test::scan_patterns(patterns, c.text), c.expected);
        EXPECT_EQ(pattern_automaton_t(patterns).find(c.text), c.expected);
    }
}

TEST(PatternAutomaton, OutlivesThePatternTexts)
{
    std::vector<std::string> patterns{"needle", "Hay"};
    const pattern_automaton_t automaton(views_of(patterns));
    patterns.assign(2, std::string(6, '#'));
    EXPECT_EQ(automaton.find("haystack with a NEEDLE"), 0u);
    EXPECT_EQ(automaton.find("hay"), 1u);
    EXPECT_EQ(automaton.find("######"), none);
}

TEST(PatternAutomaton, EmptyAutomatonFindsNothing)
{
    const pattern_automaton_t automaton;
    EXPECT_EQ(automaton.find(""), none);
    EXPECT_EQ(automaton.find("anything"), none);
}

} // namespace
} // namespace nv::nvs
