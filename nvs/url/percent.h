#pragma once
// Percent decoding and encoding of URL components.

#include <optional>
#include <string>
#include <string_view>

namespace nv::nvs {

// Decodes '+' to a space and "%XX" (either letter case) to one byte; copies every
// other byte. A '%' with fewer than two bytes behind it gives an empty result.
// Throws boost::system::system_error (illegal byte sequence) when a '%' is
// followed by a byte that is not a hexadecimal digit.
std::string url_decode(std::string_view text);

// url_decode, but the text itself when decoding fails or gives an empty result:
// one bad escape keeps the whole component as written. Never throws except for
// memory.
std::string decode_or_keep(std::string_view text);

// Escapes every byte except ASCII letters and digits, '-', '_', '.', '*', '+' and
// the keep byte (when given) as '%' and two upper-case hexadecimal digits.
// '+' passes unchanged even though url_decode reads it as a space.
std::string url_encode(std::string_view text, std::optional<char> keep = std::nullopt);

// Appends url_encode(text, keep) to out.
void append_url_encoded(std::string& out, std::string_view text, std::optional<char> keep = std::nullopt);

} // namespace nv::nvs
