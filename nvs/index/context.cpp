#include "nvs/index/context.h"

#include "nvs/index/md5.h"
#include "nvs/key_filter.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace nv::nvs::index {

namespace {

// Levels and depths beyond the host and path give the same key as the host's
// label count and the path length; caching under the clipped pair hashes such
// keys once.
unsigned clip(unsigned value, std::size_t limit) noexcept
{
    return unsigned(std::min<std::size_t>(value, limit));
}

bool key_less(const md5_key_t& a, const std::uint8_t* b) noexcept { return std::memcmp(a.data(), b, 16) < 0; }

std::span<const std::uint8_t> bytes_of(std::string_view text) noexcept
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The first `depth` bytes of the path, for a pair that applies to the URL.
std::span<const std::uint8_t> path_prefix(const nvs::url_t& url, unsigned depth) noexcept
{
    return bytes_of(std::string_view(url.path()).substr(0, depth));
}

} // namespace

unsigned context_t::label_count()
{
    if (label_count_ < 0)
        label_count_ = std::int32_t(index::label_count(url_.host()));
    return unsigned(label_count_);
}

context_t::key_entry_t& context_t::entry(key_entry_t::kind_t kind, const ip_address_t* address, unsigned level,
                                         unsigned depth)
{
    for (auto& e : keys_)
        if (e.kind == kind && e.level == level && e.depth == depth && (!address || *e.address == *address))
            return e;
    key_entry_t e{{}, std::nullopt, level, depth, kind, key_entry_t::filter_t::unasked};
    switch (kind) {
    case key_entry_t::kind_t::host:
        e.key = index::host_key(url_.host(), url_.path(), level, depth);
        break;
    case key_entry_t::kind_t::address:
        e.address = *address;
        e.key = index::address_key(address->bytes(), url_.path(), depth);
        break;
    case key_entry_t::kind_t::ipv6_prefix:
        e.address = *address;
        e.key = ipv6_network_key(address->bytes().first<16>(), depth);
        break;
    }
    return keys_.push_back(e);
}

std::optional<md5_key_t> context_t::to_search(key_entry_t& e)
{
    if (!filter_)
        return e.key;
    if (e.filter == key_entry_t::filter_t::unasked)
        e.filter = filter_->may_hold(e.key) ? key_entry_t::filter_t::possible : key_entry_t::filter_t::absent;
    if (e.filter == key_entry_t::filter_t::absent)
        return std::nullopt;
    return e.key;
}

md5_key_t context_t::host_key(unsigned level, unsigned depth)
{
    return entry(key_entry_t::kind_t::host, nullptr, clip(level, label_count()), clip(depth, url_.path().size())).key;
}

md5_key_t context_t::address_key(const ip_address_t& address, unsigned depth)
{
    return entry(key_entry_t::kind_t::address, &address, 0, clip(depth, url_.path().size())).key;
}

md5_key_t context_t::ipv6_prefix_key(const ip_address_t& address, unsigned prefix_length)
{
    return entry(key_entry_t::kind_t::ipv6_prefix, &address, 0, clip(prefix_length, 128)).key;
}

std::optional<md5_key_t> context_t::host_key_to_search(unsigned level, unsigned depth)
{
    return to_search(
        entry(key_entry_t::kind_t::host, nullptr, clip(level, label_count()), clip(depth, url_.path().size())));
}

std::optional<md5_key_t> context_t::address_key_to_search(const ip_address_t& address, unsigned depth)
{
    return to_search(entry(key_entry_t::kind_t::address, &address, 0, clip(depth, url_.path().size())));
}

std::optional<md5_key_t> context_t::ipv6_prefix_key_to_search(const ip_address_t& address, unsigned prefix_length)
{
    return to_search(entry(key_entry_t::kind_t::ipv6_prefix, &address, 0, clip(prefix_length, 128)));
}

std::uint64_t context_t::plan_host_keys(std::span<const host_pair_t> pairs, std::uint64_t wanted)
{
    wanted &= ~slot_hashed_;
    // One batch: short texts share the rounds of the digest. The message
    // array stays uninitialised beyond the few wanted: zeroing all of it would
    // cost more than filling it.
    alignas(md5_message_t) std::byte storage[slot_count * sizeof(md5_message_t)];
    md5_key_t digests[slot_count];
    std::size_t n = 0;
    for (std::uint64_t rest = wanted; rest != 0; rest &= rest - 1) {
        const host_pair_t& pair = pairs[std::size_t(std::countr_zero(rest))];
        std::construct_at(reinterpret_cast<md5_message_t*>(storage) + n++,
                          md5_message_t{bytes_of(host_suffix(url_.host(), pair.level)), path_prefix(url_, pair.depth)});
    }
    md5_many({std::launder(reinterpret_cast<const md5_message_t*>(storage)), n}, {digests, n});
    n = 0;
    for (std::uint64_t rest = wanted; rest != 0; rest &= rest - 1)
        slot_keys_[std::countr_zero(rest)] = digests[n++];
    slot_hashed_ |= wanted;
    if (!filter_)
        slot_possible_ |= wanted;
    else
        for (std::uint64_t rest = wanted; rest != 0; rest &= rest - 1) {
            const auto i = std::size_t(std::countr_zero(rest));
            if (filter_->may_hold(slot_keys_[i]))
                slot_possible_ |= std::uint64_t(1) << i;
        }
    return slot_possible_;
}

void context_t::fill_slot(std::size_t index, const host_pair_t& pair)
{
    const std::uint64_t bit = std::uint64_t(1) << index;
    slot_keys_[index] = md5_of(bytes_of(host_suffix(url_.host(), pair.level)), path_prefix(url_, pair.depth));
    slot_hashed_ |= bit;
    if (!filter_ || filter_->may_hold(slot_keys_[index]))
        slot_possible_ |= bit;
}

const md5_key_t* context_t::host_key_to_search(std::size_t index, const host_pair_t& pair)
{
    if (index >= slot_count) {
        // Beyond the slots: the cache of the walk without a plan.
        auto& e = entry(key_entry_t::kind_t::host, nullptr, pair.level, pair.depth);
        return to_search(e) ? &e.key : nullptr;
    }
    const std::uint64_t bit = std::uint64_t(1) << index;
    if ((slot_hashed_ & bit) == 0)
        fill_slot(index, pair);
    return (slot_possible_ & bit) != 0 ? &slot_keys_[index] : nullptr;
}

std::span<const md5_key_t> context_t::parameter_keys()
{
    if (!parameter_keys_built_) {
        // Kept sorted as they come: URLs carry few parameters.
        for (const auto& parameter : url_.parameters()) {
            const md5_key_t key = parameter_key(parameter);
            const auto at = std::lower_bound(parameter_keys_.begin(), parameter_keys_.end(), key);
            if (at != parameter_keys_.end() && *at == key)
                continue;
            const std::size_t position = std::size_t(at - parameter_keys_.begin());
            parameter_keys_.push_back(key);
            std::rotate(parameter_keys_.begin() + position, parameter_keys_.end() - 1, parameter_keys_.end());
        }
        parameter_keys_built_ = true;
    }
    return parameter_keys_.items();
}

bool context_t::has_parameter_key(const std::uint8_t* key)
{
    const auto keys = parameter_keys();
    const auto at = std::lower_bound(keys.begin(), keys.end(), key, key_less);
    return at != keys.end() && std::memcmp(at->data(), key, 16) == 0;
}

} // namespace nv::nvs::index
