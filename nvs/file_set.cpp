#include "nvs/file_set.h"

#include "nvs/file.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <tuple>

namespace nv::nvs {

bool file_order_t::operator()(const std::shared_ptr<const file_t>& a,
                              const std::shared_ptr<const file_t>& b) const noexcept
{
    if (a && b && a->path() != b->path())
        return a->path() < b->path();
    return std::less<const file_t*>()(a.get(), b.get());
}

void file_into(category_map_t& map, const std::shared_ptr<const file_t>& file)
{
    auto& entry = map[file->category()];
    (file->whitelist() ? entry.whitelists : entry.databases).insert(file);
}

void remove_from(category_map_t& map, const std::shared_ptr<const file_t>& file)
{
    auto it = map.find(file->category());
    if (it == map.end())
        return;
    (file->whitelist() ? it->second.whitelists : it->second.databases).erase(file);
}

walk_plan_t::walk_plan_t(const category_map_t& map)
{
    std::size_t total = 0;
    for (const auto& [bit, files] : map)
        total += files.whitelists.size() + files.databases.size();
    // Offsets are 32 bits wide to keep an entry small; no directory comes near.
    if (total > std::numeric_limits<std::uint32_t>::max())
        throw std::bad_alloc();
    files_.reserve(total);
    for (const auto& [bit, files] : map) {
        if (files.whitelists.empty() && files.databases.empty())
            continue;
        category_t entry;
        entry.bit = bit;
        entry.first = std::uint32_t(files_.size());
        files_.insert(files_.end(), files.whitelists.begin(), files.whitelists.end());
        entry.whitelists_end = std::uint32_t(files_.size());
        files_.insert(files_.end(), files.databases.begin(), files.databases.end());
        entry.end = std::uint32_t(files_.size());
        categories_.push_back(entry);
        bits_ |= bit;
    }
    number_pairs();
}

void walk_plan_t::number_pairs()
{
    // Pairs held by many databases get the low numbers: should there be more
    // pairs than the context has slots, the rare ones are left out of the
    // skip test (their databases are always entered), not the common ones.
    const auto key_of = [](const index::url_t::keyed_run_t& r) { return std::pair(r.level, r.depth); };
    std::map<std::pair<unsigned, unsigned>, std::uint32_t> holders;
    for (const auto& file : files_) {
        std::vector<std::pair<unsigned, unsigned>> own;
        for (const index::url_t* reader : {&file->urls(), &file->urls_with_params()})
            for (const auto& run : reader->runs())
                own.push_back(key_of(run));
        std::sort(own.begin(), own.end());
        own.erase(std::unique(own.begin(), own.end()), own.end());
        for (const auto& pair : own)
            ++holders[pair];
    }
    std::vector<std::tuple<std::uint32_t, unsigned, unsigned>> order; // (holders, depth, level)
    order.reserve(holders.size());
    for (const auto& [pair, count] : holders)
        order.emplace_back(count, pair.second, pair.first);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        if (std::get<0>(a) != std::get<0>(b))
            return std::get<0>(a) > std::get<0>(b);
        return std::tie(std::get<1>(a), std::get<2>(a)) < std::tie(std::get<1>(b), std::get<2>(b));
    });
    std::map<std::pair<unsigned, unsigned>, std::uint32_t> number;
    pairs_.reserve(order.size());
    for (const auto& [count, depth, level] : order) {
        number.emplace(std::pair(level, depth), std::uint32_t(pairs_.size()));
        pairs_.push_back({level, depth});
    }

    file_keys_.reserve(files_.size());
    for (const auto& file : files_) {
        file_keys_t keys;
        keys.run_pairs = std::uint32_t(run_pairs_.size());
        for (const index::url_t* reader : {&file->urls(), &file->urls_with_params()})
            for (const auto& run : reader->runs()) {
                const std::uint32_t i = number.at(key_of(run));
                run_pairs_.push_back(i);
                if (i < index::context_t::slot_count)
                    keys.pairs |= std::uint64_t(1) << i;
                else
                    keys.other |= always;
                // Address runs are searched by address keys; their pair only
                // serves hosts of 254 labels or more.
                if (run.level == index::level_ipv4_address)
                    keys.other |= with_ipv4;
                else if (run.level == index::level_ipv6_address)
                    keys.other |= with_ipv6;
            }
        if (file->patterns().size() != 0)
            keys.other |= always;
        if (file->ipv4_hosts().size() != 0 || file->ipv4_networks().size() != 0)
            keys.other |= with_ipv4;
        if (file->ipv6_hashes().size() != 0 || !file->ipv6_networks().groups().empty())
            keys.other |= with_ipv6;
        file_keys_.push_back(keys);
    }
    // Applicability by label count and by path length, so that a check tests
    // two numbers instead of every pair.
    std::uint32_t top_level = 0;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> depths;
    for (std::size_t i = 0; i < std::min(pairs_.size(), index::context_t::slot_count); ++i) {
        top_level = std::max(top_level, pairs_[i].level);
        depths.emplace_back(pairs_[i].depth, std::uint64_t(1) << i);
    }
    up_to_level_.assign(std::size_t(top_level) + 1, 0);
    for (std::size_t i = 0; i < std::min(pairs_.size(), index::context_t::slot_count); ++i)
        for (std::size_t level = pairs_[i].level; level <= top_level; ++level)
            up_to_level_[level] |= std::uint64_t(1) << i;
    std::sort(depths.begin(), depths.end());
    std::uint64_t so_far = 0;
    for (const auto& [depth, bit] : depths) {
        so_far |= bit;
        if (!up_to_depth_.empty() && up_to_depth_.back().first == depth)
            up_to_depth_.back().second = so_far;
        else
            up_to_depth_.emplace_back(depth, so_far);
    }

    for (auto& category : categories_)
        for (std::uint32_t i = category.first; i < category.end; ++i) {
            category.pairs |= file_keys_[i].pairs;
            category.other |= file_keys_[i].other;
        }
}

std::uint64_t walk_plan_t::applicable_pairs(unsigned labels, std::size_t path_length) const noexcept
{
    if (up_to_level_.empty())
        return 0;
    const std::uint64_t by_level = up_to_level_[std::min<std::size_t>(labels, up_to_level_.size() - 1)];
    // The last depth not above the path length; few distinct depths in practice.
    auto it = std::upper_bound(up_to_depth_.begin(), up_to_depth_.end(), path_length,
                               [](std::size_t length, const auto& step) { return length < step.first; });
    return it == up_to_depth_.begin() ? 0 : by_level & std::prev(it)->second;
}

std::uint32_t walk_plan_t::other_searches_of(const address_set_t& addresses) noexcept
{
    // IPv4 addresses come first in the set.
    std::uint32_t other = always;
    if (!addresses.empty() && addresses.begin()->is_v4())
        other |= with_ipv4;
    if (!addresses.empty() && addresses.rbegin()->is_v6())
        other |= with_ipv6;
    return other;
}

} // namespace nv::nvs
