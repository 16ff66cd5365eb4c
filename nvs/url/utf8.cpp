#include "nvs/url/utf8.h"

namespace nv::nvs {

namespace {

constexpr char32_t no_code_point = 0xFFFFFFFF;

// Decodes the sequence at text[i]; on success sets `length` and returns the code
// point, otherwise returns no_code_point. The ranges of the second byte exclude
// overlong forms, surrogates and values above U+10FFFF (RFC 3629, section 4).
char32_t decode_one(std::string_view text, std::size_t i, std::size_t& length)
{
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF;
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return no_code_point;
    }
    if (text.size() - i <= need)
        return no_code_point;
    for (std::size_t k = 1; k <= need; ++k) {
        unsigned char b = byte(k);
        if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF))
            return no_code_point;
        value = value << 6 | (b & 0x3F);
    }
    length = need + 1;
    return value;
}

} // namespace

std::u32string utf8_to_code_points(std::string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        char32_t c = decode_one(text, i, length);
        if (c != no_code_point)
            out += c;
        i += length;
    }
    return out;
}

void append_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF)
            return;
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

bool is_valid_utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        if (decode_one(text, i, length) == no_code_point)
            return false;
        i += length;
    }
    return true;
}

} // namespace nv::nvs
