// Strict decimal conversion of descriptor numbers taken from the environment.
#pragma once

#include <cstdint>
#include <string_view>

namespace nv {

// Optional "+" or "-", then decimal digits only, within the signed 32-bit range.
// Throws boost::bad_lexical_cast ("bad lexical cast: source type value could not
// be interpreted as target") for anything else, the empty text included.
std::int32_t parse_int32(std::string_view text);

}  // namespace nv
