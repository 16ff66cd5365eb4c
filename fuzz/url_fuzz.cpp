// Fuzzes the raw-URL parser and both text forms, and checks what must hold for
// every input.
#include "nvs/url/idn.h"
#include "nvs/url/percent.h"
#include "nvs/url/punycode.h"
#include "nvs/url/url.h"
#include "nvs/url/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// A label's worth of code points from the input, for an encode/decode round trip.
std::u32string code_points_of(std::string_view data)
{
    std::u32string out;
    for (std::size_t i = 0; i + 2 < data.size() && out.size() < 63; i += 3) {
        auto c = char32_t(static_cast<unsigned char>(data[i])) << 16 | char32_t(static_cast<unsigned char>(data[i + 1])) << 8
            | static_cast<unsigned char>(data[i + 2]);
        out += c % 0x110000;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    using nv::nvs::url_t;
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);

    const url_t url(data);
    const std::string& escaped = url.str(url_t::format_t::escaped);
    const std::string& plain = url.str(url_t::format_t::plain);
    require(&escaped == &url.str(url_t::format_t::escaped));
    require(&plain == &url.str(url_t::format_t::plain));
    require(url.path().empty() || url.path().front() == '/');
    for (char c : url.host())
        require(c < 'A' || c > 'Z');

    // The escaped form is plain ASCII except for what the scheme brings along.
    for (char c : std::string_view(escaped).substr(url.scheme().size()))
        require(static_cast<unsigned char>(c) < 0x80);

    // Escaping is undone by decoding, apart from '+'.
    if (data.find('+') == std::string_view::npos)
        require(nv::nvs::url_decode(nv::nvs::url_encode(data)) == data);

    // Encoding Punycode and decoding it gives the same code points back.
    const std::u32string code_points = code_points_of(data);
    if (auto encoded = nv::nvs::punycode_encode(code_points, 1024)) {
        auto decoded = nv::nvs::punycode_decode(*encoded, 63);
        require(decoded && *decoded == code_points);
    }
    // So do the host conversions, for hosts made of UTF-8 labels.
    if (nv::nvs::is_valid_utf8(data) && data.find('.') == std::string_view::npos && data.size() <= 63
        && !data.starts_with("xn--")) {
        std::string ascii = nv::nvs::idn_to_ascii(data);
        if (!ascii.empty())
            require(nv::nvs::idn_to_unicode(ascii) == data || ascii == data);
    }
    return 0;
}
