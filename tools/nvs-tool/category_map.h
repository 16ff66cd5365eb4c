#pragma once
// Which list folders feed which databases when squidGuard-style lists are
// imported (see docs/importing-lists.md).

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace nvs_tool {

// Folder name -> database names (a category, or whitelist_ and a category).
struct category_map_t {
    std::map<std::string, std::vector<std::string>> folders;

    // The databases a folder feeds; empty for a folder not in the map.
    const std::vector<std::string>& databases_of(const std::string& folder) const;
};

// Reads a map: lines "FOLDER CATEGORY", where CATEGORY is a database category
// name, "whitelist_" and one, or "whitelist" for the whitelists of every
// category the map names. Raises source_error_t naming path:line and the fault.
category_map_t parse_category_map(const std::string& path, std::string_view text);
category_map_t read_category_map(const std::string& path);

// The bundled map for the UT1 folders.
std::string_view default_category_map_text();

} // namespace nvs_tool
