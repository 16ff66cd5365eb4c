// Reading a raw URL. The text is cut with plain byte searches on views, in a
// fixed order that callers and stored databases depend on (for instance '#' and
// '?' are taken from the right); only the final component strings are copied.
#include "nvs/url/idn.h"
#include "nvs/url/percent.h"
#include "nvs/url/url.h"

#include <algorithm>

namespace nv::nvs {

namespace {

constexpr auto npos = std::string_view::npos;

// The components of a raw URL as views of its text, before decoding.
struct raw_parts_t {
    std::string_view scheme;
    std::string_view user;
    std::string_view password;
    std::string_view host;
    std::string_view port;
    std::string_view path;
    std::string_view query;
    std::string_view fragment;
};

raw_parts_t split(std::string_view text)
{
    raw_parts_t parts;
    if (text.empty())
        return parts;

    std::string_view rest = text;
    // The search covers the whole text, so a scheme-less URL with "://" in its
    // query is cut there.
    if (text.front() != '/' && text.front() != '?') {
        if (auto p = text.find("://"); p != npos) {
            parts.scheme = text.substr(0, p);
            rest = text.substr(p + 3);
        }
    }
    if (auto p = rest.rfind('#'); p != npos) {
        parts.fragment = rest.substr(p + 1);
        rest = rest.substr(0, p);
    }
    if (auto p = rest.rfind('?'); p != npos) {
        parts.query = rest.substr(p + 1);
        rest = rest.substr(0, p);
    }
    // User info belongs to the authority, before the first '/'. An '@' further on
    // is part of the path: reading "http://listed.example/x@y" as host "y" would
    // let anyone slip a listed host past every host list by adding "/x@y".
    if (auto p = rest.substr(0, rest.find('/')).find('@'); p != npos) {
        std::string_view user_info = rest.substr(0, p);
        rest = rest.substr(p + 1);
        if (auto colon = user_info.rfind(':'); colon != npos) {
            parts.user = user_info.substr(0, colon);
            parts.password = user_info.substr(colon + 1);
        } else {
            parts.user = user_info;
        }
    }
    if (rest.empty())
        return parts;
    if (rest.front() == '/') {
        parts.path = rest;
        return parts;
    }
    if (auto p = rest.find('/'); p != npos) {
        parts.path = rest.substr(p);
        rest = rest.substr(0, p);
    }
    if (auto p = rest.rfind(':'); p != npos) {
        parts.port = rest.substr(p + 1);
        rest = rest.substr(0, p);
    }
    while (!rest.empty() && rest.front() == '.')
        rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '.')
        rest.remove_suffix(1);
    parts.host = rest;
    return parts;
}

// An unsigned 16-bit decimal number: an optional '+' or '-' (a '-' negates it
// modulo 65536), then at least one digit, at most 65535 before the sign is applied.
std::optional<std::uint16_t> parse_port(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + std::uint32_t(c - '0');
        if (value > 0xFFFF)
            return std::nullopt;
    }
    if (negative)
        value = (0x10000 - value) & 0xFFFF;
    return std::uint16_t(value);
}

std::string normalise_host(std::string_view text)
{
    std::string host = idn_to_unicode(text);
    for (char& c : host)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return host;
}

url_t::parameters_t parse_query(std::string_view query)
{
    url_t::parameters_t parameters;
    if (!query.empty())
        parameters.reserve(std::size_t(std::count(query.begin(), query.end(), '&')) + 1);
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        auto& parameter = parameters.emplace_back();
        if (auto eq = item.find('='); eq != npos) {
            parameter.name = decode_or_keep(item.substr(0, eq));
            parameter.value = decode_or_keep(item.substr(eq + 1));
        } else {
            parameter.name = decode_or_keep(item);
        }
        if (amp == npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return parameters;
}

} // namespace

url_t::url_t(std::string_view text, address_set_t addresses) : addresses_(std::move(addresses))
{
    const raw_parts_t parts = split(text);
    scheme_ = parts.scheme;
    user_ = decode_or_keep(parts.user);
    password_ = decode_or_keep(parts.password);
    host_ = normalise_host(parts.host);
    path_ = decode_or_keep(parts.path);
    fragment_ = decode_or_keep(parts.fragment);
    if (!parts.port.empty())
        port_ = parse_port(parts.port);
    parameters_ = parse_query(parts.query);
}

} // namespace nv::nvs
