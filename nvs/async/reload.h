#pragma once
// The worker side of a reload: which files of a directory are loaded and
// unloaded, with the library log lines that tell so.

#include "nvs/async/engine.h"

#include <string>
#include <string_view>

namespace nv::nvs::async {

// Worker thread. Follows `dir`: drops everything when it differs from the
// loaded directory, unloads databases whose files changed or went away, then
// loads every ".nvs" entry (extension compared without ASCII case) not loaded
// yet. Failures are logged and skipped; nothing leaves but memory exhaustion.
// The key filter is rebuilt over the loaded databases whenever they changed.
// The walk plan of the checks is made anew at the end of every reload.
void reload_databases(engine_t::estate_t& estate, const std::string& dir);

// Whether a directory entry's file name is that of a database file.
bool is_database_name(std::string_view file_name) noexcept;

} // namespace nv::nvs::async
