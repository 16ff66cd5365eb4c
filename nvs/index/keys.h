#pragma once
// The MD5 keys under which databases store hosts, paths, parameters and IPv6
// addresses. Writers and the lookup compute them here, so both agree.

#include "nvs/url/url.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace nv::nvs::index {

using md5_key_t = std::array<std::uint8_t, 16>;

// MD5 of the bytes of a immediately followed by those of b.
md5_key_t md5_of(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b = {});
md5_key_t md5_of(std::string_view a, std::string_view b = {});

// The number of '.' in the host plus 1; 0 for an empty host.
unsigned label_count(std::string_view host) noexcept;

// The last `level` labels of the host ("b.c" for level 2 of "a.b.c"); the whole
// host when it has no more labels; empty for level 0. The first character is
// never taken as a separator.
std::string_view host_suffix(std::string_view host, unsigned level) noexcept;

// MD5 of the host suffix of min(level, labels) labels followed by the first
// min(depth, path length) bytes of the path.
md5_key_t host_key(std::string_view host, std::string_view path, unsigned level, unsigned depth);

// MD5 of the address bytes (4 or 16, network order) followed by the first
// min(depth, path length) bytes of the path; depth 0 gives the key of type 3.
md5_key_t address_key(std::span<const std::uint8_t> address, std::string_view path, unsigned depth);

// MD5 of the parameter's plain text: name, then "=" and value when the value is not empty.
md5_key_t parameter_key(const nvs::url_t::parameter_t& parameter);

// MD5 of the 16 address bytes with every bit after the first prefix_length cleared.
md5_key_t ipv6_network_key(std::span<const std::uint8_t, 16> address, unsigned prefix_length);

} // namespace nv::nvs::index
