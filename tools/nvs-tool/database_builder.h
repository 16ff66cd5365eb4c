#pragma once
// Turns a read source into one signed database file image: records sorted and
// grouped the way the readers and the lookup need them, notices deflated.

#include "tools/nvs-tool/source_reader.h"

#include "nvs/index/dsa_key.h"

namespace nvs_tool {

struct built_database_t {
    nv::nvs::index::bytes_t image;
    std::uint64_t records = 0; // as file_t::record_count will count them
};

// Raises source_error_t for entries that cannot stand together (duplicates,
// overlapping IPv4 networks), naming both lines.
built_database_t build_database(const source_t& source, const nv::nvs::index::dsa_key_t& key);

} // namespace nvs_tool
