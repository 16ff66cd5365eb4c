// The escaped and plain text forms of a URL and of its query.
#include "nvs/url/idn.h"
#include "nvs/url/percent.h"
#include "nvs/url/url.h"

#include <charconv>

namespace nv::nvs {

namespace {

void append_port(std::string& out, std::uint16_t port)
{
    char digits[8];
    auto end = std::to_chars(digits, digits + sizeof digits, port).ptr;
    out += ':';
    out.append(digits, end);
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::optional<std::uint16_t> default_port(std::string_view scheme)
{
    if (equals_ignoring_ascii_case(scheme, "http"))
        return 80;
    if (equals_ignoring_ascii_case(scheme, "https"))
        return 443;
    return std::nullopt;
}

} // namespace

void url_t::parameter_t::append_to(std::string& out, format_t format) const
{
    if (format == format_t::escaped) {
        append_url_encoded(out, name);
        if (!value.empty()) {
            out += '=';
            append_url_encoded(out, value);
        }
        return;
    }
    out += name;
    if (!value.empty()) {
        out += '=';
        out += value;
    }
}

std::string url_t::parameter_t::str(format_t format) const
{
    std::string out;
    append_to(out, format);
    return out;
}

void url_t::append_query_string(std::string& out, format_t format) const
{
    // "Built so far" means this query's own text, not what precedes it in out.
    const std::size_t start = out.size();
    for (const auto& parameter : parameters_) {
        if (out.size() != start)
            out += '&';
        parameter.append_to(out, format);
    }
}

std::string url_t::query_string(format_t format) const
{
    std::string out;
    append_query_string(out, format);
    return out;
}

std::string url_t::build_escaped() const
{
    std::string out;
    out.reserve(scheme_.size() + user_.size() + password_.size() + host_.size() + path_.size() + fragment_.size()
                + 16 * parameters_.size() + 16);
    if (!scheme_.empty()) {
        out += scheme_;
        out += "://";
    }
    if (!user_.empty() || !password_.empty()) {
        append_url_encoded(out, user_);
        if (!password_.empty()) {
            out += ':';
            append_url_encoded(out, password_);
        }
        out += '@';
    }
    if (!host_.empty())
        append_idn_to_ascii(out, host_);
    if (port_)
        append_port(out, *port_);
    if (!path_.empty())
        append_url_encoded(out, path_, '/');
    if (!parameters_.empty()) {
        out += '?';
        append_query_string(out, format_t::escaped);
    }
    if (!fragment_.empty()) {
        out += '#';
        append_url_encoded(out, fragment_);
    }
    return out;
}

std::string url_t::build_plain() const
{
    std::string out;
    out.reserve(scheme_.size() + user_.size() + password_.size() + host_.size() + path_.size() + fragment_.size()
                + 8 * parameters_.size() + 16);
    if (!scheme_.empty()) {
        out += scheme_;
        out += "://";
    }
    if (!user_.empty() || !password_.empty()) {
        out += user_;
        if (!password_.empty()) {
            out += ':';
            out += password_;
        }
        out += '@';
    }
    out += host_;
    if (port_) {
        auto standard = default_port(scheme_);
        if (!standard || *standard != *port_)
            append_port(out, *port_);
    }
    if (!path_.empty()) {
        if (path_ == "/" && parameters_.empty() && fragment_.empty())
            return out;
        out += path_;
    }
    if (!parameters_.empty()) {
        out += '?';
        append_query_string(out, format_t::plain);
    }
    if (!fragment_.empty()) {
        out += '#';
        out += fragment_;
    }
    return out;
}

} // namespace nv::nvs
