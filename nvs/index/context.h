#pragma once
// The lookup context of one URL check: the URL and the MD5 keys computed for
// it so far. One context is passed to every database of every set examined for
// the URL, so each key is hashed at most once per check.

#include "nvs/index/keys.h"
#include "nvs/index/match.h"
#include "nvs/url/url.h"

#include <cstdint>
#include <map>
#include <set>

namespace nv::nvs::index {

// Per-check cache of lookup keys. Used by one thread at a time; the URL must
// outlive the context.
class context_t {
public:
    using host_keys_t = std::map<unsigned, std::map<unsigned, md5_key_t>>;
    using address_keys_t = std::map<ip_address_t, std::map<unsigned, md5_key_t>>;
    using parameter_keys_t = std::set<md5_key_t>;

    explicit context_t(const nvs::url_t& url) noexcept : url_(url) {}

    context_t(const context_t&) = delete;
    context_t& operator=(const context_t&) = delete;

    const nvs::url_t& url() const noexcept { return url_; }

    // The number of host labels (0 for an empty host).
    unsigned label_count();

    // MD5 of the host suffix of min(level, labels) labels and the first
    // min(depth, path length) path bytes.
    const md5_key_t& host_key(unsigned level, unsigned depth);

    // MD5 of the address bytes and the first min(depth, path length) path bytes.
    const md5_key_t& address_key(const ip_address_t& address, unsigned depth);

    // The keys of the URL's query parameters, duplicates collapsed.
    const parameter_keys_t& parameter_keys();

    // The keys computed so far. Keys are computed only when a search tries
    // them, so these are exactly the keys tried (shown by the lookup tool).
    const host_keys_t& host_keys() const noexcept { return host_keys_; }
    const address_keys_t& address_keys() const noexcept { return address_keys_; }

private:
    const nvs::url_t& url_;
    std::int32_t label_count_ = -1;
    host_keys_t host_keys_;
    address_keys_t address_keys_;
    parameter_keys_t parameter_keys_;
    bool parameter_keys_built_ = false;
};

} // namespace nv::nvs::index
