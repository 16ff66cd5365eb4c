#include "nvs/file_set.h"

#include "nvs/file.h"

#include <functional>

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

} // namespace nv::nvs
