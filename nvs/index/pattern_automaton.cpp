#include "nvs/index/pattern_automaton.h"

#include <algorithm>
#include <locale>
#include <string>

namespace nv::nvs::index {

namespace {

// A non-empty pattern, upper-cased, as a slice of one shared buffer.
struct entry_t {
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t index;
};

// The sorted entries sharing the bytes that lead to a trie node.
struct range_t {
    std::uint32_t low, high;
};

// The children of a node are searched linearly up to this many; beyond it
// (near the root, where most labels occur) by bisection.
constexpr std::uint16_t linear_children = 8;

} // namespace

pattern_automaton_t::pattern_automaton_t() : nodes_(1)
{
    for (std::size_t c = 0; c < upper_.size(); ++c)
        upper_[c] = std::uint8_t(c);
}

pattern_automaton_t::pattern_automaton_t(const std::vector<std::string_view>& patterns)
{
    std::array<char, 256> upper;
    for (std::size_t c = 0; c < upper.size(); ++c)
        upper[c] = char(c);
    std::use_facet<std::ctype<char>>(std::locale()).toupper(upper.data(), upper.data() + upper.size());
    for (std::size_t c = 0; c < upper.size(); ++c)
        upper_[c] = static_cast<std::uint8_t>(upper[c]);

    std::size_t total = 0;
    for (const std::string_view p : patterns)
        total += p.size();
    std::string buffer;
    buffer.reserve(total);
    std::vector<entry_t> entries;
    entries.reserve(patterns.size());
    for (std::uint32_t i = 0; i < patterns.size(); ++i) {
        const std::string_view p = patterns[i];
        if (p.empty())
            continue;
        entries.push_back({std::uint32_t(buffer.size()), std::uint32_t(p.size()), i});
        for (const char c : p)
            buffer.push_back(char(upper_[static_cast<unsigned char>(c)]));
        first_possible_ = std::min(first_possible_, i);
    }
    const auto text_of = [&buffer](const entry_t& e) { return std::string_view(buffer).substr(e.offset, e.length); };
    // Bytes compare as unsigned in std::string_view, so bytes >= 0x80 sort last.
    std::sort(entries.begin(), entries.end(), [&text_of](const entry_t& a, const entry_t& b) {
        const int order = text_of(a).compare(text_of(b));
        return order != 0 ? order < 0 : a.index < b.index;
    });

    // Each sorted pattern adds the nodes beyond what it shares with the one
    // before it: knowing the count up front spares regrowing and copying.
    std::size_t node_count = 1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string_view text = text_of(entries[i]);
        std::size_t shared = 0;
        if (i > 0) {
            const std::string_view before = text_of(entries[i - 1]);
            const auto limit = std::min(text.size(), before.size());
            while (shared < limit && text[shared] == before[shared])
                ++shared;
        }
        node_count += text.size() - shared;
    }

    // The trie, breadth first: each node's patterns form a run of the sorted
    // entries, and its children split that run by the byte at its depth.
    // Only the runs of one level are kept at a time, and a level is never
    // wider than the pattern count.
    nodes_.reserve(node_count);
    nodes_.emplace_back();
    std::vector<range_t> level{{0, std::uint32_t(entries.size())}}, next_level;
    for (std::uint32_t depth = 0, first = 0; !level.empty(); ++depth) {
        next_level.clear();
        for (std::uint32_t i = 0; i < level.size(); ++i) {
            const std::uint32_t n = first + i;
            auto [low, high] = level[i];
            // Shorter patterns sort first: those ending here lead their run,
            // and the first of them has the lowest index among equal texts.
            if (low < high && entries[low].length == depth)
                nodes_[n].best = entries[low].index;
            while (low < high && entries[low].length == depth)
                ++low;
            nodes_[n].first_child = std::uint32_t(nodes_.size());
            while (low < high) {
                const auto label = static_cast<std::uint8_t>(buffer[entries[low].offset + depth]);
                std::uint32_t end = low + 1;
                while (end < high && static_cast<std::uint8_t>(buffer[entries[end].offset + depth]) == label)
                    ++end;
                node_t child;
                child.label = label;
                nodes_.push_back(child);
                next_level.push_back({low, end});
                ++nodes_[n].child_count;
                low = end;
            }
        }
        first += std::uint32_t(level.size());
        level.swap(next_level);
    }

    // Failure links, parents before children: a child's link is the node its
    // parent's link reaches by the same label, and whatever ends at that
    // suffix ends at the child too.
    for (std::uint32_t n = 0; n < nodes_[0].child_count; ++n) {
        const std::uint32_t c = nodes_[0].first_child + n;
        root_next_[nodes_[c].label] = c;
    }
    for (std::uint32_t n = 0; n < nodes_.size(); ++n) {
        const node_t& parent = nodes_[n];
        for (std::uint32_t c = parent.first_child; c < parent.first_child + parent.child_count; ++c) {
            node_t& node = nodes_[c];
            node.fail = n == 0 ? 0 : next(parent.fail, node.label);
            node.best = std::min(node.best, nodes_[node.fail].best);
        }
    }
}

std::uint32_t pattern_automaton_t::child(std::uint32_t node, std::uint8_t label) const noexcept
{
    const node_t& parent = nodes_[node];
    const node_t* first = nodes_.data() + parent.first_child;
    const node_t* last = first + parent.child_count;
    if (parent.child_count > linear_children)
        first = std::lower_bound(first, last, label, [](const node_t& n, std::uint8_t l) { return n.label < l; });
    for (; first != last && first->label <= label; ++first)
        if (first->label == label)
            return std::uint32_t(first - nodes_.data());
    return 0;
}

std::uint32_t pattern_automaton_t::next(std::uint32_t node, std::uint8_t label) const noexcept
{
    while (node != 0) {
        if (const std::uint32_t c = child(node, label))
            return c;
        node = nodes_[node].fail;
    }
    return root_next_[label];
}

std::uint32_t pattern_automaton_t::find(std::string_view text) const noexcept
{
    if (first_possible_ == none)
        return none;
    std::uint32_t best = none;
    std::uint32_t node = 0;
    for (const char c : text) {
        node = next(node, upper_[static_cast<unsigned char>(c)]);
        if (nodes_[node].best < best) {
            best = nodes_[node].best;
            if (best == first_possible_)
                break;
        }
    }
    return best;
}

std::size_t pattern_automaton_t::memory_bytes() const noexcept
{
    return sizeof(*this) + nodes_.capacity() * sizeof(node_t);
}

} // namespace nv::nvs::index
