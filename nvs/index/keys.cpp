#include "nvs/index/keys.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <new>

namespace nv::nvs::index {

namespace {

struct md_ctx_free_t {
    void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};

struct md_free_t {
    void operator()(EVP_MD* md) const noexcept { EVP_MD_free(md); }
};

// The MD5 implementation, fetched once: the implicit fetch behind EVP_md5()
// takes the provider store's locks on every digest, which a check hashing
// dozens of keys pays each time.
const EVP_MD* md5()
{
    static const std::unique_ptr<EVP_MD, md_free_t> md(EVP_MD_fetch(nullptr, "MD5", nullptr));
    if (!md)
        throw std::bad_alloc();
    return md.get();
}

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
    std::unique_ptr<EVP_MD_CTX, md_ctx_free_t> ctx(EVP_MD_CTX_new());
    md5_key_t key{};
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), md5(), nullptr) || !EVP_DigestUpdate(ctx.get(), a.data(), a.size())
        || !EVP_DigestUpdate(ctx.get(), b.data(), b.size()) || !EVP_DigestFinal_ex(ctx.get(), key.data(), nullptr))
        throw std::bad_alloc();
    return key;
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
