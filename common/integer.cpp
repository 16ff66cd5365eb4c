#include "common/integer.h"

#include <charconv>
#include <limits>
#include <string>

#include <boost/lexical_cast/bad_lexical_cast.hpp>

namespace nv {

std::int32_t parse_int32(std::string_view text)
{
    const auto fail = [] { throw boost::bad_lexical_cast(typeid(std::string), typeid(std::int32_t)); };
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        fail();
    for (char c : text) {
        if (c < '0' || c > '9')
            fail();
    }
    // The magnitude in 64 bits so that -2147483648 fits before negation.
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : std::numeric_limits<std::int32_t>::max();
    if (error != std::errc() || end != text.data() + text.size() || magnitude > limit)
        fail();
    const auto value = static_cast<std::int64_t>(magnitude);
    return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace nv
