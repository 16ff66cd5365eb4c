#include "nvs/file_set.h"

#include "nvs/file.h"

#include <functional>
#include <limits>
#include <new>

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
}

} // namespace nv::nvs
