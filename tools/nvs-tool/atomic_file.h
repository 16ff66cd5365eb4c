#pragma once
// Files the tool writes are written beside their final name and renamed over
// it, so that a daemon reloading its directory sees the old or the whole new file.

#include "nvs/index/writer.h"

#include <string>
#include <string_view>

namespace nvs_tool {

// Raises boost::system::system_error naming the failed step; nothing is left
// behind on failure.
void write_atomically(const std::string& path, std::string_view bytes);
void write_atomically(const std::string& path, const nv::nvs::index::bytes_t& image);

} // namespace nvs_tool
