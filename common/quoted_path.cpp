#include "common/quoted_path.h"

namespace nv {

std::string quoted_path(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '&')
            out += '&';
        out += c;
    }
    out += '"';
    return out;
}

} // namespace nv
