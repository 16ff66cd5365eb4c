#include "nvs/url/idn.h"

#include "nvs/url/punycode.h"
#include "nvs/url/utf8.h"

#include <algorithm>

namespace nv::nvs {

namespace {

constexpr std::string_view ace_prefix = "xn--";
constexpr std::size_t max_label_code_points = 63;
constexpr std::size_t max_ace_label = 256;

// Calls convert(label, out) for every label, writing the separating dots.
template <typename Convert>
void convert_labels(std::string& out, std::string_view host, Convert convert)
{
    const std::size_t start = out.size();
    for (;;) {
        auto dot = host.find('.');
        if (out.size() != start)
            out += '.';
        convert(host.substr(0, dot), out);
        if (dot == std::string_view::npos)
            return;
        host.remove_prefix(dot + 1);
    }
}

void label_to_unicode(std::string_view label, std::string& out)
{
    if (!label.starts_with(ace_prefix)) {
        out += label;
        return;
    }
    if (label.size() > ace_prefix.size() + max_ace_label)
        return;
    auto code_points = punycode_decode(label.substr(ace_prefix.size()), max_label_code_points);
    if (!code_points)
        return;
    for (char32_t c : *code_points)
        append_utf8(out, c);
}

bool is_ldh(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

void label_to_ascii(std::string_view label, std::string& out)
{
    if (std::all_of(label.begin(), label.end(), is_ldh)) {
        out += label;
        return;
    }
    if (label.size() > max_label_code_points)
        return;
    auto encoded = punycode_encode(utf8_to_code_points(label), max_ace_label);
    if (!encoded)
        return;
    out += ace_prefix;
    out += *encoded;
}

} // namespace

std::string idn_to_unicode(std::string_view host)
{
    std::string out;
    out.reserve(host.size());
    convert_labels(out, host, label_to_unicode);
    return out;
}

std::string idn_to_ascii(std::string_view host)
{
    std::string out;
    out.reserve(host.size());
    convert_labels(out, host, label_to_ascii);
    return out;
}

void append_idn_to_ascii(std::string& out, std::string_view host)
{
    convert_labels(out, host, label_to_ascii);
}

} // namespace nv::nvs
