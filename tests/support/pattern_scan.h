#pragma once
// The straightforward pattern search, kept as the reference the one-pass
// automaton is checked against: every pattern in turn, each searched for in
// the upper-cased text.

#include <cstdint>
#include <string_view>
#include <vector>

namespace nv::nvs::test {

inline constexpr std::uint32_t no_pattern = UINT32_MAX;

// The index of the first pattern, in list order, that occurs in the text with
// both sides upper-cased by the global locale's classification; `no_pattern`
// when none does. An empty pattern never matches.
std::uint32_t scan_patterns(const std::vector<std::string_view>& patterns, std::string_view text);

} // namespace nv::nvs::test
