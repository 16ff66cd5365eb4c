#pragma once
// Section type 1: zero-terminated text patterns searched for in the URL text.

#include "nvs/index/content.h"
#include "nvs/index/match.h"
#include "nvs/index/pattern_automaton.h"

#include <memory>
#include <string_view>
#include <vector>

namespace nv::nvs::index {

class patterns_t {
public:
    // Raises bad_file_format when a non-empty section does not end in a zero byte.
    explicit patterns_t(const content_t& content);

    // The patterns in section order; each view ends right before its zero byte
    // and points into the mapping (its data() is the record's first byte).
    const std::vector<std::string_view>& patterns() const noexcept { return patterns_; }
    std::uint32_t size() const noexcept { return std::uint32_t(patterns_.size()); }
    const content_t& content() const noexcept { return *content_; }

    // The first pattern, in section order, that occurs in the text regardless of
    // letter case (characters compared upper-cased by the global locale as it
    // was when the database was opened). An empty pattern never matches. One
    // pass over the text, whatever the number of patterns; allocates nothing.
    match_t find(std::string_view text) const noexcept;

private:
    const content_t* content_;
    std::vector<std::string_view> patterns_;
    // Only for a database with patterns: the automaton's tables take over a
    // kilobyte even empty, and most databases have none.
    std::unique_ptr<const pattern_automaton_t> automaton_;
};

} // namespace nv::nvs::index
