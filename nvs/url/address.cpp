#include "nvs/url/address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>

namespace nv::nvs {

namespace {

// inet_pton wants a terminated string; an embedded NUL must not cut the text short.
bool to_c_string(std::string_view text, char (&buffer)[INET6_ADDRSTRLEN])
{
    if (text.size() >= sizeof buffer || text.find('\0') != std::string_view::npos)
        return false;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = '\0';
    return true;
}

std::optional<std::uint32_t> parse_scope(std::string_view scope)
{
    if (scope.empty())
        return std::nullopt;
    if (std::all_of(scope.begin(), scope.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::uint64_t value = 0;
        for (char c : scope) {
            value = value * 10 + std::uint64_t(c - '0');
            if (value > UINT32_MAX)
                return std::nullopt;
        }
        return std::uint32_t(value);
    }
    char name[IF_NAMESIZE];
    if (scope.size() >= sizeof name || scope.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::copy(scope.begin(), scope.end(), name);
    name[scope.size()] = '\0';
    if (unsigned index = ::if_nametoindex(name); index != 0)
        return std::uint32_t(index);
    return std::nullopt;
}

std::optional<ip_address_t> parse_v6(std::string_view text)
{
    std::uint32_t scope_id = 0;
    if (auto percent = text.find('%'); percent != std::string_view::npos) {
        auto scope = parse_scope(text.substr(percent + 1));
        if (!scope)
            return std::nullopt;
        scope_id = *scope;
        text = text.substr(0, percent);
    }
    char buffer[INET6_ADDRSTRLEN];
    in6_addr address;
    if (!to_c_string(text, buffer) || ::inet_pton(AF_INET6, buffer, &address) != 1)
        return std::nullopt;
    ip_address_t::v6_bytes_t bytes;
    std::memcpy(bytes.data(), address.s6_addr, bytes.size());
    return ip_address_t::v6(bytes, scope_id);
}

std::optional<ip_address_t> parse_v4(std::string_view text)
{
    char buffer[INET6_ADDRSTRLEN];
    in_addr address;
    if (!to_c_string(text, buffer) || ::inet_pton(AF_INET, buffer, &address) != 1)
        return std::nullopt;
    ip_address_t::v4_bytes_t bytes;
    std::memcpy(bytes.data(), &address.s_addr, bytes.size());
    return ip_address_t::v4(bytes);
}

} // namespace

ip_address_t ip_address_t::v4(const v4_bytes_t& bytes)
{
    ip_address_t a;
    a.family_ = family_t::v4;
    std::copy(bytes.begin(), bytes.end(), a.bytes_.begin());
    return a;
}

ip_address_t ip_address_t::v6(const v6_bytes_t& bytes, std::uint32_t scope_id)
{
    ip_address_t a;
    a.family_ = family_t::v6;
    a.bytes_ = bytes;
    a.scope_id_ = scope_id;
    return a;
}

std::span<const std::uint8_t> ip_address_t::bytes() const
{
    return {bytes_.data(), is_v4() ? std::size_t(4) : bytes_.size()};
}

std::uint32_t ip_address_t::v4_value() const
{
    return std::uint32_t(bytes_[0]) << 24 | std::uint32_t(bytes_[1]) << 16 | std::uint32_t(bytes_[2]) << 8 | bytes_[3];
}

std::string ip_address_t::to_string() const
{
    char buffer[INET6_ADDRSTRLEN];
    if (is_v4()) {
        ::inet_ntop(AF_INET, bytes_.data(), buffer, sizeof buffer);
        return buffer;
    }
    ::inet_ntop(AF_INET6, bytes_.data(), buffer, sizeof buffer);
    std::string text = buffer;
    if (scope_id_ != 0) {
        bool link_local = (bytes_[0] == 0xfe && (bytes_[1] & 0xc0) == 0x80)
            || (bytes_[0] == 0xff && (bytes_[1] & 0x0f) == 0x02);
        char name[IF_NAMESIZE];
        text += '%';
        if (link_local && ::if_indextoname(scope_id_, name) != nullptr)
            text += name;
        else
            text += std::to_string(scope_id_);
    }
    return text;
}

std::optional<ip_address_t> parse_ip_address(std::string_view text)
{
    if (auto v6 = parse_v6(text))
        return v6;
    return parse_v4(text);
}

} // namespace nv::nvs
