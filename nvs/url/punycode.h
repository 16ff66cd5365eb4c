#pragma once
// Punycode (RFC 3492, standard parameters, no case flags), as host labels use it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nv::nvs {

// Decodes the Punycode text of a label (without its "xn--" prefix). Empty on bad
// input (a non-basic byte before the last '-', a byte that is not a digit, a
// truncated number), on more than max_code_points results, or on overflow.
std::optional<std::u32string> punycode_decode(std::string_view input, std::size_t max_code_points);

// Encodes code points as Punycode with lower-case digits; basic code points are
// copied as they are. Empty when the output would exceed max_length bytes, a
// counter would overflow, or a value lies above U+10FFFF.
std::optional<std::string> punycode_encode(std::u32string_view input, std::size_t max_length);

} // namespace nv::nvs
