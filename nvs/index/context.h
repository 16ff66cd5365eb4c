#pragma once
// The lookup context of one URL check: the URL and the MD5 keys computed for
// it so far. One context is passed to every database of every set examined for
// the URL, so each key is hashed at most once per check, and, with a key
// filter, probed in the filter at most once per check.

#include "nvs/index/keys.h"
#include "nvs/index/match.h"
#include "nvs/index/spill_vector.h"
#include "nvs/url/url.h"

#include <cstdint>
#include <optional>
#include <span>

namespace nv::nvs {
class key_filter_t;
}

namespace nv::nvs::index {

// A (level, depth) pair under which databases store host/path keys.
struct host_pair_t {
    std::uint32_t level;
    std::uint32_t depth;
    friend bool operator==(const host_pair_t&, const host_pair_t&) = default;
};

// Per-check cache of lookup keys, kept in small flat arrays inside the object:
// a check allocates nothing here unless its URL needs unusually many keys. Used
// by one thread at a time; the URL and the filter must outlive the context.
class context_t {
public:
    // One key computed for the URL.
    struct key_entry_t {
        enum class kind_t : std::uint8_t {
            host,       // host suffix of `level` labels and `depth` path bytes
            address,    // `address` and `depth` path bytes
            ipv6_prefix // the first `depth` bits of the IPv6 `address`
        };
        enum class filter_t : std::uint8_t { unasked, absent, possible };

        md5_key_t key;
        std::optional<ip_address_t> address; // address and ipv6_prefix only
        std::uint32_t level;                 // host only: clipped to the label count
        std::uint32_t depth;                 // clipped to the path length (prefix: to 128)
        kind_t kind;
        filter_t filter; // the filter's answer, asked once
    };

    // `filter`, when given, must hold every searched key of every database
    // this context is used with (key_filter_t::of_files of those databases).
    explicit context_t(const nvs::url_t& url, const key_filter_t* filter = nullptr) noexcept
        : url_(url), filter_(filter)
    {
    }

    context_t(const context_t&) = delete;
    context_t& operator=(const context_t&) = delete;

    const nvs::url_t& url() const noexcept { return url_; }
    const key_filter_t* filter() const noexcept { return filter_; }

    // The number of host labels (0 for an empty host).
    unsigned label_count();

    // MD5 of the host suffix of min(level, labels) labels and the first
    // min(depth, path length) path bytes.
    md5_key_t host_key(unsigned level, unsigned depth);

    // MD5 of the address bytes and the first min(depth, path length) path bytes.
    md5_key_t address_key(const ip_address_t& address, unsigned depth);

    // MD5 of the 16 bytes of the IPv6 address with the bits after the prefix cleared.
    md5_key_t ipv6_prefix_key(const ip_address_t& address, unsigned prefix_length);

    // The same keys for a search: nothing when the filter tells that no
    // database holds the key (without a filter, always the key).
    std::optional<md5_key_t> host_key_to_search(unsigned level, unsigned depth);
    std::optional<md5_key_t> address_key_to_search(const ip_address_t& address, unsigned depth);
    std::optional<md5_key_t> ipv6_prefix_key_to_search(const ip_address_t& address, unsigned prefix_length);

    // Host keys by pair index, for a walk over databases whose runs were
    // numbered by the distinct pairs they hold (`pairs`). The first
    // `slot_count` pairs have a slot of their own here; later ones go through
    // host_key_to_search(level, depth). A pair applies to the URL when its
    // level is within the label count and its depth within the path length:
    // only those are ever searched, and their keys need no clipping.

    static constexpr std::size_t slot_count = 64;

    // Hashes the key of every pair in `wanted` (a subset of the applicable
    // ones) at once and asks the filter about each. Bit i of the result: the
    // filter does not rule out pair i (every wanted pair without a filter).
    std::uint64_t plan_host_keys(std::span<const host_pair_t> pairs, std::uint64_t wanted);

    // The key of pair `index` (which must apply to the URL) for a search:
    // null when the filter tells that no database holds it. Hashed and probed
    // on first use unless plan_host_keys did it.
    const md5_key_t* host_key_to_search(std::size_t index, const host_pair_t& pair);

    // The keys of the URL's query parameters, ascending bytewise, duplicates collapsed.
    std::span<const md5_key_t> parameter_keys();
    bool has_parameter_key(const std::uint8_t* key);

    // The keys computed so far, in the order computed. Keys are computed only
    // when a search tries them, so these are exactly the keys tried (shown by
    // the lookup tool).
    std::span<const key_entry_t> keys() const noexcept { return keys_.items(); }

private:
    key_entry_t& entry(key_entry_t::kind_t kind, const ip_address_t* address, unsigned level, unsigned depth);
    std::optional<md5_key_t> to_search(key_entry_t& entry);
    void fill_slot(std::size_t index, const host_pair_t& pair);

    const nvs::url_t& url_;
    const key_filter_t* filter_;
    std::int32_t label_count_ = -1;
    bool parameter_keys_built_ = false;
    // A URL with a host of a few labels and a few path depths per database
    // needs about a dozen keys.
    spill_vector_t<key_entry_t, 24> keys_;
    spill_vector_t<md5_key_t, 16> parameter_keys_;
    // Slot keys are valid where `slot_hashed_` has the bit; `slot_possible_`
    // holds the filter's answer for them.
    std::uint64_t slot_hashed_ = 0;
    std::uint64_t slot_possible_ = 0;
    md5_key_t slot_keys_[slot_count]; // left uninitialised: most checks fill a few
};

} // namespace nv::nvs::index
