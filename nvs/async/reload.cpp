#include "nvs/async/reload.h"
#include "common/quoted_path.h"

#include "common/exception.h"
#include "nvs/async/helper_thread.h"
#include "nvs/async/open_checks.h"
#include "nvs/file.h"
#include "nvs/index/signature.h"
#include "nvs/log.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

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
        if (!file->changed()) {
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

// A directory entry to load, in the order of the listing.
struct candidate_t {
    std::string path;
    bool regular = true; // false: refused without opening
};

// Returns whether the database was loaded.
bool load(engine_t::estate_t& estate, const std::string& path, io::mapping_t mapping)
{
    std::shared_ptr<const file_t> file;
    try {
        file = std::make_shared<const file_t>(io::mapped_file_t::adopt(path, std::move(mapping)),
                                              index::content_t::container_checked_t{});
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

// How many files may be open ahead of the one being loaded: enough for the
// helper never to run dry, few enough that a directory of thousands of bad
// files does not hold thousands of descriptors and mappings at once.
constexpr std::size_t open_ahead = 16;

// Files are opened and checked ahead of the one being loaded, by this thread
// and the helper, and taken in listing order: each one's outcome and log line
// come in the same order, and mean the same, as if the files were opened one
// by one. Returns whether any database was loaded.
bool load_all(engine_t::estate_t& estate, const std::vector<candidate_t>& candidates, helper_thread_t* helper)
{
    std::vector<const char*> paths;
    paths.reserve(candidates.size());
    for (const auto& candidate : candidates)
        paths.push_back(candidate.regular ? candidate.path.c_str() : nullptr);
    open_checks_t checks(paths, helper, open_ahead);

    bool loaded_any = false;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        auto outcome = checks.take(i);
        const auto& candidate = candidates[i];
        if (!candidate.regular) {
            // Opening a FIFO would block the worker until some writer came
            // along; a directory or device cannot be mapped anyway. Reported
            // with the error mapping them would give.
            log_failure(candidate.path,
                        boost::system::error_code(ENODEV, boost::system::system_category()).message());
        } else if (!outcome.mapping) {
            log_failure(candidate.path, outcome.failure.code().message());
        } else if (outcome.check != error_t::success) {
            log_failure(candidate.path, make_error_code(outcome.check).message());
        } else {
            loaded_any |= load(estate, candidate.path, std::move(outcome.mapping));
        }
    }
    return loaded_any;
}

// A second thread for the reload, when the checks of the files allocate
// nothing (a thread that allocates would keep a malloc arena of its own).
// Without one everything runs here, as it can.
void start_helper(std::optional<helper_thread_t>& helper)
{
    if (helper || !index::built_in_key().verifier())
        return;
    try {
        helper.emplace();
    } catch (const std::system_error&) {
        // No thread to be had: the load goes on alone.
    }
}

// Returns whether any database was loaded.
bool scan(engine_t::estate_t& estate, std::optional<helper_thread_t>& helper)
{
    // A first load opens every database there is, so its helper starts while
    // the directory is listed; a later reload mostly finds nothing to open and
    // starts one only for two files or more.
    if (estate.files.empty())
        start_helper(helper);
    std::set<std::string> loaded;
    for (const auto& file : estate.files)
        loaded.insert(file->path());
    std::vector<candidate_t> candidates;
    std::optional<boost::system::error_code> listing_failure;
    try {
        for (fs::directory_iterator it(estate.dir), end; it != end; ++it) {
            std::string path = it->path().string();
            if (loaded.count(path) || !is_database_name(it->path().filename().string()))
                continue;
            const bool regular = is_regular_entry(*it);
            candidates.push_back({std::move(path), regular});
        }
    } catch (const boost::system::system_error& e) {
        // Reported after the entries listed before the failure, as a scan that
        // loaded while it listed would have.
        listing_failure = e.code();
    }
    if (candidates.size() >= 2)
        start_helper(helper);
    const bool loaded_any = load_all(estate, candidates, helper ? &*helper : nullptr);
    if (listing_failure && log_t::instance().enabled(log_t::error))
        log(log_t::error, "NVS Loading " + nv::quoted_path(estate.dir) + ": " + listing_failure->message());
    return loaded_any;
}

// A filter that lacks the keys of a loaded database would hide its matches, so
// the old one goes first; without a filter lookups are exact, only slower.
void refresh_filter(engine_t::estate_t& estate, helper_thread_t* helper)
{
    estate.filter.reset();
    key_filter_t::run_beside_t run_beside;
    if (helper)
        run_beside = [helper](const std::function<void()>& theirs, const std::function<void()>& mine) {
            helper->run_beside(theirs, mine);
        };
    try {
        estate.filter = std::make_shared<const key_filter_t>(key_filter_t::of_files(estate.files, run_beside));
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
    // Started by the scan when it opens files; it also fills half the filter.
    std::optional<helper_thread_t> helper;
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
        changed |= scan(estate, helper);
        if (debug_enabled())
            log(log_t::debug, "NVS databases load/reload end");
    }
    // A reload that changes nothing keeps the filter: rebuilding it would cost
    // a pass over every key of every database.
    if (changed || !estate.filter)
        refresh_filter(estate, helper ? &*helper : nullptr);
    refresh_walk(estate);
}

} // namespace nv::nvs::async
