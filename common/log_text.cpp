// Kept apart: Boost.Xpressive is heavy to compile.
#include <cstring>
#include <new>
#include <string>
#include <typeinfo>

#include <boost/xpressive/xpressive_static.hpp>

#include "common/exception.h"

namespace nv {

namespace {

namespace xp = boost::xpressive;

// "boost::" and any further "name::" parts: the library's own prefix of a what-text.
const xp::cregex& library_prefix()
{
    static const xp::cregex pattern = xp::bos >> "boost::" >> *(+xp::_w >> "::");
    return pattern;
}

constexpr std::string_view directory_iterator_prefix = "boost::filesystem::directory_iterator::";
constexpr std::string_view construct_operation = "construct:";

}  // namespace

const char* log_text(const std::exception& e) noexcept
{
    const char* text = e.what();
    try {
        xp::cmatch match;
        if (xp::regex_search(text, match, library_prefix())) {
            const auto length = static_cast<std::size_t>(match.length(0));
            const char* rest = text + length;
            // A failed opendir() shows up as the iterator's constructor; name the
            // system call the administrator knows instead.
            if (std::string_view(text, length) == directory_iterator_prefix &&
                std::string_view(rest).starts_with(construct_operation)) {
                thread_local std::string rewritten;
                rewritten.assign("opendir:");
                rewritten.append(rest + construct_operation.size());
                return rewritten.c_str();
            }
            return rest;
        }
    } catch (...) {
        // Fall through to the plain text.
    }
    if (typeid(e) == typeid(std::bad_alloc))
        return "Not enough memory";
    return text;
}

}  // namespace nv
