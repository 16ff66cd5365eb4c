#pragma once
// The database engine: loads the databases of a directory and checks URLs
// against them, both as tasks on the worker thread, and publishes its state
// (loading or loaded, directory, databases) to the main thread.

#include "common/small_function.h"
#include "nvs/async/thread.h"
#include "nvs/file_set.h"
#include "nvs/key_filter.h"
#include "nvs/report.h"

#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

#include <functional>
#include <memory>
#include <string>

namespace nv::nvs {
class url_t;
}

namespace nv::nvs::async {

class engine_t {
public:
    enum state_t : int { loading = 0, loaded = 1 };

    // Shared between the engine and its tasks. Each group of members is touched
    // by one thread only; the hand-over happens by posting.
    struct estate_t {
        // Worker thread.
        std::string dir;           // directory whose databases are loaded; empty at start
        file_set_t files;          // every loaded database
        category_map_t by_category; // the same databases filed by category bit
        // `by_category` laid out for the checks; none while a reload runs or
        // when it could not be made (checks then walk `by_category`).
        std::shared_ptr<const walk_plan_t> walk;
        // The keys of `files`, replaced only when they change; none when it
        // could not be built (lookups are then exact without it).
        std::shared_ptr<const key_filter_t> filter;

        // Main thread.
        int state = loading;
        std::string shown_dir;   // directory of the running or last finished reload
        file_set_t shown_files;  // `files` as of the last finished reload
        std::function<void()> notify; // emits the engine's signal; empty once the engine is gone
    };

    using signal_t = boost::signals2::signal<void(const engine_t&)>;
    // Move-only; room for what the daemon's check engine puts around a client's
    // completion, so that a check's callback costs no allocation of its own.
    using callback_t = small_function_t<void(const report_t&, const boost::system::error_code&), 96>;
    using task_id_t = thread_t::task_id_t;

    // Main thread; `thread` must outlive the engine.
    explicit engine_t(thread_t& thread);
    // Empties `notify`, so notices still on their way change nothing visible.
    ~engine_t();
    engine_t(const engine_t&) = delete;
    engine_t& operator=(const engine_t&) = delete;

    // Main thread. Looks the URL up in the categories of the mask; `callback`
    // is called once on the main thread, with success unless the task was
    // cancelled or the thread stopped.
    std::shared_ptr<task_id_t> check(std::shared_ptr<const url_t> url, category_set_t mask, callback_t callback);

    // Main thread. Unloads changed or deleted files and loads new ones from
    // `dir` (another directory than before drops every database first; an
    // empty path loads nothing). Emits the signal at its start and its end.
    std::shared_ptr<task_id_t> reload(std::string dir);

    signal_t& signal() noexcept { return signal_; }
    // Main-thread members only (state, shown_dir, shown_files).
    const estate_t& estate() const noexcept { return *estate_; }

private:
    signal_t signal_;
    thread_t& thread_;
    std::shared_ptr<estate_t> estate_;
};

} // namespace nv::nvs::async
