#include "tools/nvs-tool/source_reader.h"

#include "nvs/index/category.h"
#include "nvs/url/address.h"

#include <arpa/inet.h>

#include <charconv>
#include <ctime>
#include <fstream>
#include <sstream>

namespace nvs_tool {

namespace index = nv::nvs::index;

source_error_t::source_error_t(std::string text)
    : boost::system::system_error(make_error_code(boost::system::errc::invalid_argument)), text_(std::move(text))
{
}

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

namespace {

// Splits off the first word; the rest comes back trimmed.
std::pair<std::string_view, std::string_view> first_word(std::string_view s)
{
    const auto end = s.find_first_of(blanks);
    if (end == std::string_view::npos)
        return {s, {}};
    return {s.substr(0, end), trim(s.substr(end))};
}

std::vector<std::string_view> words(std::string_view s)
{
    std::vector<std::string_view> out;
    while (!(s = trim(s)).empty()) {
        auto [word, rest] = first_word(s);
        out.push_back(word);
        s = rest;
    }
    return out;
}

std::optional<unsigned> number(std::string_view text, unsigned max)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || value > max)
        return std::nullopt;
    return value;
}

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

class reader_t {
public:
    explicit reader_t(std::string path) { source_.path = std::move(path); }

    source_t read(std::string_view text)
    {
        bool dated = false;
        while (!text.empty()) {
            ++line_;
            const auto end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.find('\0') != std::string_view::npos)
                fail("a zero byte in the line");
            line = trim(line);
            if (line.empty() || line.front() == '#')
                continue;
            const auto [keyword, rest] = first_word(line);
            if (keyword == "name")
                read_name(rest);
            else if (keyword == "date")
                read_date(rest), dated = true;
            else if (keyword == "url")
                add(read_url(rest, false));
            else if (keyword == "params")
                add(read_params(rest));
            else if (keyword == "address")
                add(read_address(rest));
            else if (keyword == "ipv4")
                add(read_ipv4(rest));
            else if (keyword == "ipv6")
                add(read_ipv6(rest));
            else if (keyword == "pattern")
                add(read_pattern(rest));
            else if (keyword == "notice")
                read_notice("{\"legalURL\":" + json_string(one_word(rest, "a legal URL")) + "}");
            else if (keyword == "notice-json")
                read_notice(std::string(require(rest, "a JSON text")));
            else
                fail("unknown keyword \"" + std::string(keyword) + "\"");
        }
        if (source_.name.empty())
            throw source_error_t(source_.path + ": no \"name\" line");
        if (!dated)
            source_.date = now();
        return std::move(source_);
    }

    // One entry line on its own, located as line `line` of the source.
    entry_t read_one(unsigned line, std::string_view text)
    {
        line_ = line;
        if (text.find('\0') != std::string_view::npos)
            fail("a zero byte in the line");
        const auto [keyword, rest] = first_word(trim(text));
        entry_t entry;
        if (keyword == "url")
            entry = read_url(rest, false);
        else if (keyword == "params")
            entry = read_params(rest);
        else if (keyword == "address")
            entry = read_address(rest);
        else if (keyword == "ipv4")
            entry = read_ipv4(rest);
        else if (keyword == "ipv6")
            entry = read_ipv6(rest);
        else if (keyword == "pattern")
            entry = read_pattern(rest);
        else
            fail("not an entry: \"" + std::string(keyword) + "\"");
        entry.line = line_;
        return entry;
    }

private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw source_error_t(source_.path + ":" + std::to_string(line_) + ": " + what);
    }

    std::string_view require(std::string_view rest, const char* what) const
    {
        if (rest.empty())
            fail(std::string("missing ") + what);
        return rest;
    }

    std::string_view one_word(std::string_view rest, const char* what) const
    {
        const auto [word, more] = first_word(require(rest, what));
        if (!more.empty())
            fail("unexpected text after " + std::string(what) + ": \"" + std::string(more) + "\"");
        return word;
    }

    void add(entry_t entry)
    {
        entry.line = line_;
        source_.entries.push_back(std::move(entry));
    }

    void read_name(std::string_view rest)
    {
        if (!source_.name.empty())
            fail("a second \"name\" line");
        const std::string_view name = one_word(rest, "a database name");
        constexpr std::string_view prefix = "whitelist_";
        const std::string_view category = name.starts_with(prefix) ? name.substr(prefix.size()) : name;
        if (nv::nvs::category_of_name(category) == nv::nvs::category_unspecified && category != "unspecified")
            fail("unknown category \"" + std::string(category) + "\"");
        source_.name = name;
    }

    void read_date(std::string_view rest)
    {
        const auto parts = words(rest);
        unsigned v[6];
        const unsigned max[6] = {9999, 12, 31, 23, 59, 60};
        bool good = parts.size() == 2 && parts[0].size() == 10 && parts[1].size() == 8 && parts[0][4] == '-'
            && parts[0][7] == '-' && parts[1][2] == ':' && parts[1][5] == ':';
        if (good) {
            const std::string_view fields[6] = {parts[0].substr(0, 4), parts[0].substr(5, 2), parts[0].substr(8, 2),
                                                parts[1].substr(0, 2), parts[1].substr(3, 2), parts[1].substr(6, 2)};
            for (int i = 0; i < 6 && good; ++i) {
                const auto n = number(fields[i], max[i]);
                good = n && (i < 1 || i > 2 || *n >= 1);
                v[i] = n.value_or(0);
            }
        }
        if (!good)
            fail("the date must read YYYY-MM-DD hh:mm:ss");
        source_.date = {std::uint16_t(v[0]), std::uint8_t(v[1]), std::uint8_t(v[2]),
                        std::uint8_t(v[3]), std::uint8_t(v[4]), std::uint8_t(v[5])};
    }

    static index::header_date_t now()
    {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&t, &tm);
        return {std::uint16_t(tm.tm_year + 1900), std::uint8_t(tm.tm_mon + 1), std::uint8_t(tm.tm_mday),
                std::uint8_t(tm.tm_hour), std::uint8_t(tm.tm_min), std::uint8_t(tm.tm_sec)};
    }

    // Read exactly as the daemon reads a raw URL without a scheme, so that the
    // keys match what the lookup computes: host lower-cased and Punycode-decoded,
    // path percent-decoded.
    nv::nvs::url_t parse_entry_url(std::string_view text) const
    {
        nv::nvs::url_t url(text);
        if (!url.scheme().empty())
            fail("entries are written without a scheme: \"" + std::string(text) + "\"");
        if (!url.user().empty() || !url.password().empty() || url.port())
            fail("entries take no user, password or port: \"" + std::string(text) + "\"");
        if (!url.parameters().empty() || !url.fragment().empty() || text.find_first_of("?#") != std::string_view::npos)
            fail("entries take no query or fragment (parameter conditions go in a \"params\" entry)");
        check_path(url.path());
        return url;
    }

    void check_path(const std::string& path) const
    {
        if (path.size() > 0xFFFF)
            fail("the path is longer than 65535 bytes");
    }

    entry_t read_url(std::string_view rest, bool with_params)
    {
        const auto url = parse_entry_url(one_word(rest, "a host/path entry"));
        const unsigned labels = index::label_count(url.host());
        if (labels > 253)
            fail("the host has more than 253 labels");
        url_entry_t e;
        e.level = labels;
        e.depth = unsigned(url.path().size());
        e.key = index::host_key(url.host(), url.path(), e.level, e.depth);
        e.with_params = with_params;
        return {0, e, std::nullopt};
    }

    entry_t read_params(std::string_view rest)
    {
        const auto [target, lists] = first_word(require(rest, "a host/path entry"));
        entry_t entry = read_url(target, true);
        auto& e = std::get<url_entry_t>(entry.value);
        for (const auto list : words(lists)) {
            // The list is read as the query of a URL, the way the daemon reads
            // the parameters it checks.
            const nv::nvs::url_t url("x/?" + std::string(list));
            std::vector<md5_key_t> keys;
            for (const auto& p : url.parameters()) {
                if (p.name.empty() && p.value.empty())
                    fail("an empty parameter in \"" + std::string(list) + "\"");
                keys.push_back(index::parameter_key(p));
            }
            if (keys.size() > 255)
                fail("a parameter list holds more than 255 parameters");
            e.lists.push_back(std::move(keys));
        }
        return entry;
    }

    entry_t read_address(std::string_view rest)
    {
        const std::string_view text = one_word(rest, "an address with a path");
        std::string_view address_text, path_text;
        if (text.starts_with("[")) {
            const auto close = text.find(']');
            if (close == std::string_view::npos)
                fail("an IPv6 address is written in brackets: [2001:db8::1]/path");
            address_text = text.substr(1, close - 1);
            path_text = text.substr(close + 1);
        } else {
            const auto slash = text.find('/');
            address_text = text.substr(0, slash);
            path_text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
        }
        if (!path_text.empty() && path_text.front() != '/')
            fail("the path after the address must begin with \"/\"");
        const auto address = parse_plain_address(address_text, text.starts_with("["));
        // The path is read by the URL parser, as the lookup will see it.
        const std::string path = path_text.empty() ? std::string() : parse_entry_url("x" + std::string(path_text)).path();
        url_entry_t e;
        e.level = address.is_v4() ? 255 : 254;
        e.depth = unsigned(path.size());
        e.key = index::address_key(address.bytes(), path, e.depth);
        return {0, e, std::nullopt};
    }

    nv::nvs::ip_address_t parse_plain_address(std::string_view text, bool v6) const
    {
        const std::string s(text);
        if (v6) {
            nv::nvs::ip_address_t::v6_bytes_t b{};
            if (::inet_pton(AF_INET6, s.c_str(), b.data()) != 1)
                fail("not an IPv6 address: \"" + s + "\"");
            return nv::nvs::ip_address_t::v6(b);
        }
        nv::nvs::ip_address_t::v4_bytes_t b{};
        if (::inet_pton(AF_INET, s.c_str(), b.data()) != 1)
            fail("not an IPv4 address: \"" + s + "\" (IPv6 addresses go in brackets)");
        return nv::nvs::ip_address_t::v4(b);
    }

    // "address" or "address/prefix", the prefix at most max.
    std::pair<std::string, std::optional<unsigned>> split_prefix(std::string_view text, unsigned min, unsigned max) const
    {
        const auto slash = text.find('/');
        if (slash == std::string_view::npos)
            return {std::string(text), std::nullopt};
        const auto prefix = number(text.substr(slash + 1), max);
        if (!prefix || *prefix < min)
            fail("the prefix length must be a number from " + std::to_string(min) + " to " + std::to_string(max));
        return {std::string(text.substr(0, slash)), prefix};
    }

    entry_t read_ipv4(std::string_view rest)
    {
        const auto [text, prefix] = split_prefix(one_word(rest, "an IPv4 address or network"), 1, 32);
        std::uint8_t b[4];
        if (::inet_pton(AF_INET, text.c_str(), b) != 1)
            fail("not an IPv4 address: \"" + text + "\"");
        ipv4_entry_t e;
        e.address = std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 | b[3];
        e.prefix = prefix;
        if (prefix) {
            const std::uint32_t mask = *prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> *prefix);
            if (e.address & ~mask)
                fail("the network address has bits set after the prefix length");
        }
        return {0, e, std::nullopt};
    }

    entry_t read_ipv6(std::string_view rest)
    {
        const auto [text, prefix] = split_prefix(one_word(rest, "an IPv6 address or prefix"), 0, 128);
        std::array<std::uint8_t, 16> b{};
        if (::inet_pton(AF_INET6, text.c_str(), b.data()) != 1)
            fail("not an IPv6 address: \"" + text + "\"");
        ipv6_entry_t e;
        e.prefix = prefix;
        if (prefix) {
            e.key = index::ipv6_network_key(b, *prefix);
            if (e.key != index::md5_of(std::span<const std::uint8_t>(b)))
                fail("the prefix has bits set after the prefix length");
        } else {
            e.key = index::address_key(b, {}, 0);
        }
        return {0, e, std::nullopt};
    }

    entry_t read_pattern(std::string_view rest)
    {
        return {0, pattern_entry_t{std::string(require(rest, "the pattern text"))}, std::nullopt};
    }

    void read_notice(std::string json)
    {
        if (source_.entries.empty())
            fail("a notice follows the entry it belongs to");
        if (source_.name != "piracy")
            fail("notices are read only in \"piracy\" databases");
        auto& entry = source_.entries.back();
        if (entry.notice)
            fail("a second notice for the entry on line " + std::to_string(entry.line));
        entry.notice = std::move(json);
    }

    source_t source_;
    unsigned line_ = 0;
};

} // namespace

source_t parse_source(const std::string& path, std::string_view text) { return reader_t(path).read(text); }

entry_t parse_entry(const std::string& path, unsigned line, std::string_view text)
{
    return reader_t(path).read_one(line, text);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()), path);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()), path);
    return std::move(text).str();
}

source_t read_source(const std::string& path)
{
    return parse_source(path, read_file(path));
}

} // namespace nvs_tool
