#pragma once
// The result of a search in a database section or a whole database.

#include <cstdint>

namespace nv::nvs::index {

// Whether a record matched and, if so, its record offset (the file offset of
// its first byte; type 8 notices are keyed by it).
struct match_t {
    bool found = false;
    std::uint32_t record_offset = 0;

    friend bool operator==(const match_t&, const match_t&) = default;
};

class context_t;

} // namespace nv::nvs::index
