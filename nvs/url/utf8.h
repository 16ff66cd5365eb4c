#pragma once
// UTF-8 to code points and back, strict in both directions.

#include <string>
#include <string_view>

namespace nv::nvs {

// Reads well-formed UTF-8 only: no overlong forms, no surrogates, nothing above
// U+10FFFF. Each byte that does not belong to a well-formed sequence is dropped.
std::u32string utf8_to_code_points(std::string_view text);

// Appends the UTF-8 form of a code point; a surrogate or a value above U+10FFFF
// is left out.
void append_utf8(std::string& out, char32_t code_point);

// Whether the whole text is well-formed UTF-8 (as utf8_to_code_points reads it).
bool is_valid_utf8(std::string_view text);

} // namespace nv::nvs
