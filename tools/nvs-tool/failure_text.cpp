#include "tools/nvs-tool/failure_text.h"

#include "nvs/index/error.h"

#include <string_view>

namespace nvs_tool {

std::string failure_text(const boost::system::system_error& e)
{
    const std::string message = e.code().message();
    if (e.code().category() == nv::nvs::error_category())
        return message;
    // The exception text begins with the call's name, then ": " and more.
    const std::string_view what = e.what();
    const auto colon = what.find(": ");
    if (colon == std::string_view::npos || colon == 0)
        return message;
    return std::string(what.substr(0, colon)) + ": " + message;
}

} // namespace nvs_tool
