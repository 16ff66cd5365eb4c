#pragma once
// Finds, in one pass over a text, the first of a list of patterns that occurs
// in it, letters compared regardless of case (an Aho-Corasick automaton).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nv::nvs::index {

// Built once when a database is opened, then immutable: any number of threads
// may search it at once. Searching allocates nothing.
class pattern_automaton_t {
public:
    // What `find` returns when no pattern occurs.
    static constexpr std::uint32_t none = UINT32_MAX;

    // An automaton that finds nothing.
    pattern_automaton_t();

    // The patterns in their order of precedence; the automaton keeps no
    // reference to them. Patterns and texts are compared through the global
    // locale's upper-case mapping as it is during construction. An empty
    // pattern never matches.
    explicit pattern_automaton_t(const std::vector<std::string_view>& patterns);

    // The lowest index of a pattern that occurs in the text as a substring,
    // or `none`.
    std::uint32_t find(std::string_view text) const noexcept;

    // Bytes held by the automaton (for measurements).
    std::size_t memory_bytes() const noexcept;

private:
    // Nodes are stored breadth first, so the children of a node are
    // consecutive, in ascending order of their label.
    struct node_t {
        std::uint32_t first_child = 0;
        std::uint32_t fail = 0;              // longest proper suffix that is also a node
        std::uint32_t best = none;           // lowest pattern index ending here or at a suffix
        std::uint16_t child_count = 0;
        std::uint8_t label = 0;              // upper-cased byte of the edge from the parent
    };

    std::uint32_t child(std::uint32_t node, std::uint8_t label) const noexcept;
    std::uint32_t next(std::uint32_t node, std::uint8_t label) const noexcept;

    std::array<std::uint8_t, 256> upper_{};
    // The root's transition for every upper-cased byte (0, the root, when absent).
    std::array<std::uint32_t, 256> root_next_{};
    std::vector<node_t> nodes_;
    // Lowest index of a non-empty pattern: once found, nothing can do better.
    std::uint32_t first_possible_ = none;
};

} // namespace nv::nvs::index
