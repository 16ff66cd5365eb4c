#include "nvs/url/percent.h"

#include <boost/system/system_error.hpp>

namespace nv::nvs {

namespace {

enum class decode_status_t { ok, truncated, bad_hex };

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The decoder without exceptions, so that decode_or_keep stays cheap on the bad
// escapes that real traffic carries. On failure `out` holds garbage.
decode_status_t decode(std::string_view text, std::string& out)
{
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (text.size() - i < 3)
                return decode_status_t::truncated;
            int high = hex_value(text[i + 1]);
            int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0)
                return decode_status_t::bad_hex;
            out += char(high << 4 | low);
            i += 2;
        } else {
            out += c;
        }
    }
    return decode_status_t::ok;
}

bool kept_as_is(char c, std::optional<char> keep)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
        || c == '.' || c == '*' || c == '+' || (keep && c == *keep);
}

} // namespace

std::string url_decode(std::string_view text)
{
    std::string out;
    switch (decode(text, out)) {
    case decode_status_t::ok:
        return out;
    case decode_status_t::truncated:
        return {};
    case decode_status_t::bad_hex:
        break;
    }
    throw boost::system::system_error(
        make_error_code(boost::system::errc::illegal_byte_sequence), "url_decode");
}

std::string decode_or_keep(std::string_view text)
{
    // Most components hold nothing to decode.
    if (text.find_first_of("+%") == std::string_view::npos)
        return std::string(text);
    std::string out;
    if (decode(text, out) != decode_status_t::ok || out.empty())
        return std::string(text);
    return out;
}

void append_url_encoded(std::string& out, std::string_view text, std::optional<char> keep)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::size_t run = 0; // start of the bytes kept as they are, copied in one go
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (kept_as_is(text[i], keep))
            continue;
        out.append(text.data() + run, i - run);
        auto byte = static_cast<unsigned char>(text[i]);
        const char escape[3] = {'%', digits[byte >> 4], digits[byte & 0x0f]};
        out.append(escape, sizeof escape);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

std::string url_encode(std::string_view text, std::optional<char> keep)
{
    std::string out;
    out.reserve(text.size());
    append_url_encoded(out, text, keep);
    return out;
}

} // namespace nv::nvs
