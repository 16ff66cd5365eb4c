#include "tools/nvs-tool/database_builder.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace nvs_tool {

namespace index = nv::nvs::index;
using index::bytes_t;

namespace {

enum section_index_t : unsigned {
    params = 0, patterns, ipv4_hosts, ipv6_hashes, urls, urls_with_params, ipv4_networks, ipv6_networks, legal_info,
    section_count
};

// Where a record landed: its section and its offset inside the section.
struct placed_t {
    unsigned section;
    std::uint32_t offset;
};

class builder_t {
public:
    explicit builder_t(const source_t& source) : source_(source), placed_(source.entries.size()) {}

    built_database_t build(const index::dsa_key_t& key)
    {
        std::vector<const entry_t*> url4, url5, hosts4, hashes6, nets4, pats;
        std::map<unsigned, std::vector<const entry_t*>, std::greater<>> nets6; // longest prefix tried first
        for (const auto& e : source_.entries) {
            if (const auto* u = std::get_if<url_entry_t>(&e.value))
                (u->with_params ? url5 : url4).push_back(&e);
            else if (const auto* a = std::get_if<ipv4_entry_t>(&e.value))
                (a->prefix ? nets4 : hosts4).push_back(&e);
            else if (const auto* b = std::get_if<ipv6_entry_t>(&e.value))
                (b->prefix ? nets6[*b->prefix] : hashes6).push_back(&e);
            else
                pats.push_back(&e);
        }

        std::vector<bytes_t> sections(section_count);
        write_patterns(pats, sections[patterns]);
        write_ipv4_hosts(hosts4, sections[ipv4_hosts]);
        write_keys(hashes6, sections[ipv6_hashes], ipv6_hashes);
        write_urls(url4, sections[urls], sections[params], urls);
        write_urls(url5, sections[urls_with_params], sections[params], urls_with_params);
        write_ipv4_networks(nets4, sections[ipv4_networks]);
        write_ipv6_networks(nets6, sections[ipv6_networks]);

        // Notices are keyed by file offsets, known once everything before them is laid out.
        std::vector<std::size_t> sizes;
        for (const auto& s : sections)
            sizes.push_back(s.size());
        const auto offsets = index::section_offsets(sizes, index::header_size(section_count, source_.name.size()));
        write_notices(offsets, sections[legal_info]);

        built_database_t out;
        out.image = index::assemble(sections, source_.date, source_.name, key);
        out.records = records_;
        return out;
    }

private:
    [[noreturn]] void fail(const entry_t& e, const std::string& what) const
    {
        throw source_error_t(source_.path + ":" + std::to_string(e.line) + ": " + what);
    }

    void place(const entry_t& e, unsigned section, std::size_t offset)
    {
        placed_[std::size_t(&e - source_.entries.data())] = placed_t{section, std::uint32_t(offset)};
        ++records_;
    }

    // Sorts by the key; equal neighbours are the same record written twice.
    template <typename Key>
    void sort_unique(std::vector<const entry_t*>& list, Key key_of, const char* what)
    {
        std::stable_sort(list.begin(), list.end(), [&](auto* a, auto* b) { return key_of(*a) < key_of(*b); });
        for (std::size_t i = 1; i < list.size(); ++i)
            if (key_of(*list[i]) == key_of(*list[i - 1]))
                fail(*list[i], std::string("duplicate ") + what + " (first on line " + std::to_string(list[i - 1]->line) + ")");
    }

    void write_patterns(const std::vector<const entry_t*>& list, bytes_t& out)
    {
        // Kept in source order: the first pattern found decides.
        std::map<std::string_view, unsigned> seen;
        for (const auto* e : list) {
            const auto& text = std::get<pattern_entry_t>(e->value).text;
            if (const auto [it, fresh] = seen.emplace(text, e->line); !fresh)
                fail(*e, "duplicate pattern (first on line " + std::to_string(it->second) + ")");
            place(*e, patterns, out.size());
            index::put_bytes(out, text.data(), text.size());
            index::put8(out, 0);
        }
    }

    void write_ipv4_hosts(std::vector<const entry_t*> list, bytes_t& out)
    {
        sort_unique(list, [](const entry_t& e) { return std::get<ipv4_entry_t>(e.value).address; }, "address");
        for (const auto* e : list) {
            place(*e, ipv4_hosts, out.size());
            index::put32(out, std::get<ipv4_entry_t>(e->value).address);
        }
    }

    void write_keys(std::vector<const entry_t*> list, bytes_t& out, unsigned section)
    {
        sort_unique(list, [](const entry_t& e) { return std::get<ipv6_entry_t>(e.value).key; }, "address");
        for (const auto* e : list) {
            place(*e, section, out.size());
            const auto& key = std::get<ipv6_entry_t>(e->value).key;
            index::put_bytes(out, key.data(), key.size());
        }
    }

    // One run per (level, depth): sorting by level, depth, key makes each pair
    // one run of ascending keys.
    void write_urls(std::vector<const entry_t*> list, bytes_t& out, bytes_t& pool, unsigned section)
    {
        sort_unique(
            list,
            [](const entry_t& e) {
                const auto& u = std::get<url_entry_t>(e.value);
                return std::tie(u.level, u.depth, u.key);
            },
            "host/path entry (write alternative parameter lists on one line)");
        for (const auto* e : list) {
            const auto& u = std::get<url_entry_t>(e->value);
            place(*e, section, out.size());
            index::put8(out, std::uint8_t(u.level));
            index::put16(out, std::uint16_t(u.depth));
            index::put_bytes(out, u.key.data(), u.key.size());
            if (section != urls_with_params)
                continue;
            index::put32(out, u.lists.empty() ? 0 : std::uint32_t(pool.size()));
            index::put32(out, std::uint32_t(u.lists.size()));
            for (const auto& keys : u.lists) {
                index::put8(pool, std::uint8_t(keys.size()));
                for (const auto& k : keys)
                    index::put_bytes(pool, k.data(), k.size());
            }
        }
    }

    void write_ipv4_networks(std::vector<const entry_t*> list, bytes_t& out)
    {
        sort_unique(
            list,
            [](const entry_t& e) {
                const auto& n = std::get<ipv4_entry_t>(e.value);
                return std::pair(n.address, *n.prefix);
            },
            "network");
        // The lookup tests an address only against the last network starting
        // at or below it, so networks must not overlap.
        for (std::size_t i = 1; i < list.size(); ++i) {
            const auto& prev = std::get<ipv4_entry_t>(list[i - 1]->value);
            const std::uint64_t prev_end = std::uint64_t(prev.address) + (std::uint64_t(1) << (32 - *prev.prefix));
            if (std::get<ipv4_entry_t>(list[i]->value).address < prev_end)
                fail(*list[i], "overlaps the network on line " + std::to_string(list[i - 1]->line));
        }
        for (const auto* e : list) {
            const auto& n = std::get<ipv4_entry_t>(e->value);
            place(*e, ipv4_networks, out.size());
            index::put32(out, n.address);
            index::put8(out, std::uint8_t(*n.prefix));
        }
    }

    void write_ipv6_networks(std::map<unsigned, std::vector<const entry_t*>, std::greater<>>& groups, bytes_t& out)
    {
        if (groups.empty())
            return;
        index::put8(out, std::uint8_t(groups.size())); // at most 129 prefix lengths
        for (auto& [prefix, list] : groups) {
            sort_unique(list, [](const entry_t& e) { return std::get<ipv6_entry_t>(e.value).key; }, "IPv6 prefix");
            index::put8(out, std::uint8_t(prefix));
            index::put32(out, std::uint32_t(list.size()));
            for (const auto* e : list) {
                place(*e, ipv6_networks, out.size());
                const auto& key = std::get<ipv6_entry_t>(e->value).key;
                index::put_bytes(out, key.data(), key.size());
            }
        }
    }

    void write_notices(const std::vector<std::uint32_t>& offsets, bytes_t& out)
    {
        std::map<std::uint32_t, bytes_t> blobs;
        for (std::size_t i = 0; i < source_.entries.size(); ++i)
            if (const auto& notice = source_.entries[i].notice)
                blobs.emplace(offsets[placed_[i].section] + placed_[i].offset, index::deflate_notice(*notice));
        if (blobs.empty())
            return;
        index::put32(out, std::uint32_t(blobs.size()));
        for (const auto& [key, blob] : blobs)
            index::put32(out, key);
        std::uint32_t at = std::uint32_t(4 + 8 * blobs.size());
        for (const auto& [key, blob] : blobs) {
            index::put32(out, at);
            at += std::uint32_t(4 + blob.size());
        }
        for (const auto& [key, blob] : blobs) {
            index::put32(out, std::uint32_t(blob.size()));
            index::put_bytes(out, blob.data(), blob.size());
        }
    }

    const source_t& source_;
    std::vector<placed_t> placed_;
    std::uint64_t records_ = 0;
};

} // namespace

built_database_t build_database(const source_t& source, const index::dsa_key_t& key)
{
    return builder_t(source).build(key);
}

} // namespace nvs_tool
