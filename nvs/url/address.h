#pragma once
// IP addresses that come with a URL: the client's addresses of the host.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace nv::nvs {

// One IPv4 or IPv6 address (with the scope id of IPv6). Values order IPv4 before
// IPv6, then by the address bytes in network order, then by scope id; this is the
// order in which lookups try the addresses and CloudD requests list them.
class ip_address_t {
public:
    using v4_bytes_t = std::array<std::uint8_t, 4>;
    using v6_bytes_t = std::array<std::uint8_t, 16>;

    // a.b.c.d is given as {a, b, c, d}.
    static ip_address_t v4(const v4_bytes_t& bytes);
    static ip_address_t v6(const v6_bytes_t& bytes, std::uint32_t scope_id = 0);

    bool is_v4() const { return family_ == family_t::v4; }
    bool is_v6() const { return family_ == family_t::v6; }

    // The address bytes in network order: 4 for IPv4, 16 for IPv6.
    std::span<const std::uint8_t> bytes() const;
    // IPv4 only: the address as a number (a.b.c.d is a << 24 | b << 16 | c << 8 | d).
    std::uint32_t v4_value() const;
    // IPv6 only (0 for IPv4).
    std::uint32_t scope_id() const { return scope_id_; }

    // Dotted quad for IPv4; the standard IPv6 text, followed by '%' and the scope
    // when it is not zero: the interface name for a link-local address (the number
    // when no interface has that index), the decimal number otherwise.
    std::string to_string() const;

    friend auto operator<=>(const ip_address_t&, const ip_address_t&) = default;
    friend bool operator==(const ip_address_t&, const ip_address_t&) = default;

private:
    enum class family_t : std::uint8_t { v4 = 0, v6 = 1 };

    ip_address_t() = default;

    // Member order is the comparison order. IPv4 uses the first 4 bytes; the rest stay 0.
    family_t family_ = family_t::v4;
    v6_bytes_t bytes_{};
    std::uint32_t scope_id_ = 0;
};

// Equal addresses collapse into one entry.
using address_set_t = std::set<ip_address_t>;

// Reads an address as a client sends it: first as IPv6, with an optional "%"
// suffix naming the scope as an interface name or a decimal number; then as an
// IPv4 dotted quad. Empty when the text is neither (including an IPv6 scope that
// is neither a known interface nor a number that fits 32 bits).
std::optional<ip_address_t> parse_ip_address(std::string_view text);

} // namespace nv::nvs
