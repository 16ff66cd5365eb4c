#pragma once
// Section types 2, 3 and 6: sorted fixed-size arrays searched in place.

#include "nvs/index/content.h"
#include "nvs/index/keys.h"
#include "nvs/index/match.h"

namespace nv::nvs::index {

// A sorted array of fixed-size records inside the mapping.
template <content_t::type_t Type, std::uint32_t RecordSize>
class record_array_t {
public:
    static constexpr std::uint32_t record_size = RecordSize;

    // Raises bad_file_format when the section size is not a multiple of the record size.
    explicit record_array_t(const content_t& content);

    const std::uint8_t* data() const noexcept { return data_; }
    const std::uint8_t* record(std::uint32_t i) const noexcept { return data_ + std::size_t(i) * RecordSize; }
    std::uint32_t size() const noexcept { return count_; }
    const content_t& content() const noexcept { return *content_; }

private:
    const content_t* content_;
    const std::uint8_t* data_ = nullptr;
    std::uint32_t count_ = 0;
};

// Type 2: single IPv4 addresses, 4 bytes each in network order, ascending.
class ipv4_hosts_t : public record_array_t<content_t::type_t::ipv4_hosts, 4> {
public:
    using record_array_t::record_array_t;

    // The entry equal to the address (a.b.c.d as a << 24 | b << 16 | c << 8 | d).
    match_t find(std::uint32_t address) const noexcept;
};

// Type 3: MD5 keys of single IPv6 addresses, ascending bytewise.
class ipv6_hashes_t : public record_array_t<content_t::type_t::ipv6_hashes, 16> {
public:
    using record_array_t::record_array_t;

    // The entry equal to the key (the address key of depth 0).
    match_t find(const md5_key_t& key) const noexcept;
};

// Type 6: IPv4 networks, 4 address bytes and a prefix length, ascending by address.
class ipv4_networks_t : public record_array_t<content_t::type_t::ipv4_networks, 5> {
public:
    using record_array_t::record_array_t;

    // The last network starting at or below the address, when it holds the
    // address. Only that one record is tested: networks must not overlap.
    match_t find(std::uint32_t address) const noexcept;
};

} // namespace nv::nvs::index
