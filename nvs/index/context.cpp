#include "nvs/index/context.h"

#include <algorithm>

namespace nv::nvs::index {

namespace {

// Levels and depths beyond the host and path give the same key as the host's
// label count and the path length; caching under the clipped pair hashes such
// keys once.
unsigned clip(unsigned value, std::size_t limit) noexcept
{
    return unsigned(std::min<std::size_t>(value, limit));
}

} // namespace

unsigned context_t::label_count()
{
    if (label_count_ < 0)
        label_count_ = std::int32_t(index::label_count(url_.host()));
    return unsigned(label_count_);
}

const md5_key_t& context_t::host_key(unsigned level, unsigned depth)
{
    level = clip(level, label_count());
    depth = clip(depth, url_.path().size());
    auto& by_depth = host_keys_[level];
    auto it = by_depth.find(depth);
    if (it == by_depth.end())
        it = by_depth.emplace(depth, index::host_key(url_.host(), url_.path(), level, depth)).first;
    return it->second;
}

const md5_key_t& context_t::address_key(const ip_address_t& address, unsigned depth)
{
    depth = clip(depth, url_.path().size());
    auto& by_depth = address_keys_[address];
    auto it = by_depth.find(depth);
    if (it == by_depth.end())
        it = by_depth.emplace(depth, index::address_key(address.bytes(), url_.path(), depth)).first;
    return it->second;
}

const context_t::parameter_keys_t& context_t::parameter_keys()
{
    if (!parameter_keys_built_) {
        for (const auto& parameter : url_.parameters())
            parameter_keys_.insert(parameter_key(parameter));
        parameter_keys_built_ = true;
    }
    return parameter_keys_;
}

} // namespace nv::nvs::index
