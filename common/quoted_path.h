#pragma once
// How log lines show a path or a directory name.

#include <string>
#include <string_view>

namespace nv {

// `text` between double quotes, with '&' put before every '"' and '&' inside it,
// so that a reader can tell where the name ends whatever it contains.
std::string quoted_path(std::string_view text);

} // namespace nv
