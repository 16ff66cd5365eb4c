#include "nvs/index/keys.h"

#include "nvs/index/md5.h"

#include <algorithm>

namespace nv::nvs::index {

namespace {

std::string_view path_prefix(std::string_view path, unsigned depth) noexcept
{
    return path.substr(0, std::min<std::size_t>(depth, path.size()));
}

std::span<const std::uint8_t> bytes_of(std::string_view text) noexcept
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

md5_key_t md5_of(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    md5_t md5;
    md5.update(a.data(), a.size());
    md5.update(b.data(), b.size());
    return md5.finish();
}

md5_key_t md5_of(std::string_view a, std::string_view b) { return md5_of(bytes_of(a), bytes_of(b)); }

unsigned label_count(std::string_view host) noexcept
{
    return host.empty() ? 0 : unsigned(std::count(host.begin(), host.end(), '.')) + 1;
}

std::string_view host_suffix(std::string_view host, unsigned level) noexcept
{
    if (level == 0 || host.empty())
        return {};
    for (std::size_t i = host.size() - 1; i > 0; --i)
        if (host[i] == '.' && --level == 0)
            return host.substr(i + 1);
    return host;
}

md5_key_t host_key(std::string_view host, std::string_view path, unsigned level, unsigned depth)
{
    return md5_of(host_suffix(host, level), path_prefix(path, depth));
}

md5_key_t address_key(std::span<const std::uint8_t> address, std::string_view path, unsigned depth)
{
    return md5_of(address, bytes_of(path_prefix(path, depth)));
}

md5_key_t parameter_key(const nvs::url_t::parameter_t& parameter)
{
    return md5_of(parameter.str(nvs::url_t::format_t::plain));
}

md5_key_t ipv6_network_key(std::span<const std::uint8_t, 16> address, unsigned prefix_length)
{
    std::array<std::uint8_t, 16> masked{};
    std::copy(address.begin(), address.end(), masked.begin());
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned kept = prefix_length > 8 * i ? std::min(prefix_length - 8 * i, 8u) : 0;
        masked[i] &= std::uint8_t(0xFF00u >> kept);
    }
    return md5_of(std::span<const std::uint8_t>(masked));
}

} // namespace nv::nvs::index
