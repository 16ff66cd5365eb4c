#include "nvs/async/reload.h"
#include "common/quoted_path.h"

#include "common/exception.h"
#include "nvs/file.h"
#include "nvs/log.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <exception>
#include <set>

namespace nv::nvs::async {
namespace {

namespace fs = boost::filesystem;

bool debug_enabled()
{
    return log_t::instance().enabled(log_t::debug);
}

// Returns whether any database was unloaded.
bool unload_changed(engine_t::estate_t& estate)
{
    bool unloaded = false;
    for (auto it = estate.files.begin(); it != estate.files.end();) {
        const auto& file = *it;
        bool changed = true;
        try {
            changed = file->changed();
        } catch (const boost::system::system_error&) {
            // Our own descriptor cannot be queried any more: nothing tells that
            // the mapping still stands for the file at the path, so reopen it.
        }
        if (!changed) {
            ++it;
            continue;
        }
        if (debug_enabled())
            log(log_t::debug, "NVS database unloaded: " + nv::quoted_path(file->path()));
        remove_from(estate.by_category, file);
        it = estate.files.erase(it);
        unloaded = true;
    }
    return unloaded;
}

void log_failure(const std::string& path, const std::string& message)
{
    if (log_t::instance().enabled(log_t::error))
        log(log_t::error, "Cannot load NVS database " + nv::quoted_path(path) + ": " + message);
}

// False only for an entry known to be something else than a regular file;
// an entry whose status cannot be read is left to the opening to report.
bool is_regular_entry(const fs::directory_entry& entry)
{
    boost::system::error_code ec;
    auto status = entry.status(ec);
    return ec || status.type() == fs::regular_file || status.type() == fs::file_not_found;
}

// Returns whether the database was loaded.
bool load(engine_t::estate_t& estate, const std::string& path)
{
    std::shared_ptr<const file_t> file;
    try {
        file = std::make_shared<const file_t>(path);
    } catch (const boost::system::system_error& e) {
        log_failure(path, e.code().message());
        return false;
    } catch (const std::exception& e) {
        // A damaged file can make a reader ask for an absurd amount of memory;
        // that file is skipped like any other that cannot be opened.
        log_failure(path, log_text(e));
        return false;
    }
    estate.files.insert(file);
    file_into(estate.by_category, file);
    if (debug_enabled())
        log(log_t::debug, "NVS database loaded: " + nv::quoted_path(path) + " (" + file->name() + ", "
                              + std::to_string(file->record_count()) + ")");
    return true;
}

// Returns whether any database was loaded.
bool scan(engine_t::estate_t& estate)
{
    bool loaded_any = false;
    std::set<std::string> loaded;
    for (const auto& file : estate.files)
        loaded.insert(file->path());
    try {
        for (fs::directory_iterator it(estate.dir), end; it != end; ++it) {
            std::string path = it->path().string();
            if (loaded.count(path) || !is_database_name(it->path().filename().string()))
                continue;
            if (!is_regular_entry(*it)) {
                // Opening a FIFO would block the worker until some writer came
                // along; a directory or device cannot be mapped anyway. Reported
                // with the error mapping them would give.
                log_failure(path, boost::system::error_code(ENODEV, boost::system::system_category()).message());
                continue;
            }
            loaded_any |= load(estate, path);
        }
    } catch (const boost::system::system_error& e) {
        if (log_t::instance().enabled(log_t::error))
            log(log_t::error, "NVS Loading " + nv::quoted_path(estate.dir) + ": " + e.code().message());
    }
    return loaded_any;
}

// A filter that lacks the keys of a loaded database would hide its matches, so
// the old one goes first; without a filter lookups are exact, only slower.
void refresh_filter(engine_t::estate_t& estate)
{
    estate.filter.reset();
    try {
        estate.filter = std::make_shared<const key_filter_t>(key_filter_t::of_files(estate.files));
    } catch (const std::exception& e) {
        if (log_t::instance().enabled(log_t::error))
            log(log_t::error, std::string("NVS key filter not built, lookups go without it: ") + log_text(e));
    }
}

// Made on every reload: a pass over the loaded databases, nothing more.
void refresh_walk(engine_t::estate_t& estate)
{
    try {
        estate.walk = std::make_shared<const walk_plan_t>(estate.by_category);
    } catch (const std::exception& e) {
        if (log_t::instance().enabled(log_t::error))
            log(log_t::error, std::string("NVS walk plan not built, checks go without it: ") + log_text(e));
    }
}

} // namespace


bool is_database_name(std::string_view file_name) noexcept
{
    auto dot = file_name.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    auto extension = file_name.substr(dot);
    constexpr std::string_view wanted = ".nvs";
    if (extension.size() != wanted.size())
        return false;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        char c = extension[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != wanted[i])
            return false;
    }
    return true;
}

void reload_databases(engine_t::estate_t& estate, const std::string& dir)
{
    // A plan kept from before would go on walking databases unloaded below
    // should the reload stop half-way; without one, checks walk the map.
    estate.walk.reset();
    bool changed = false;
    if (fs::path(dir) != fs::path(estate.dir)) {
        estate.files.clear();
        estate.by_category.clear();
        estate.dir = dir;
        changed = true;
    }
    if (!estate.dir.empty()) {
        if (debug_enabled())
            log(log_t::debug, "NVS databases load/reload: " + nv::quoted_path(estate.dir));
        changed |= unload_changed(estate);
        changed |= scan(estate);
        if (debug_enabled())
            log(log_t::debug, "NVS databases load/reload end");
    }
    // A reload that changes nothing keeps the filter: rebuilding it would cost
    // a pass over every key of every database.
    if (changed || !estate.filter)
        refresh_filter(estate);
    refresh_walk(estate);
}

} // namespace nv::nvs::async
