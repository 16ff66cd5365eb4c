#pragma once
// The daemon's database engine: owns the worker thread and the engine on it,
// forwards checks and reloads from the main thread, and re-emits the engine's
// state changes as its own signal. Main thread only.

#include "nvs/async/engine.h"
#include "nvs/async/thread.h"
#include "nvs/report.h"

#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>

#include <cstddef>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}

namespace nv::nvs {
class url_t;
}

namespace uc {

class nvs_engine_t {
public:
    enum state_t : int { loading = 0, loaded = 1, stopped = 2 };

    using signal_t = boost::signals2::signal<void(const nvs_engine_t&)>;
    using callback_t = nv::nvs::async::engine_t::callback_t;

    // Starts the worker thread; `main` must outlive this object.
    explicit nvs_engine_t(boost::asio::io_context& main);
    // stop(), then the rest goes.
    ~nvs_engine_t();
    nvs_engine_t(const nvs_engine_t&) = delete;
    nvs_engine_t& operator=(const nvs_engine_t&) = delete;

    // The callback runs once, later, on the main loop: with the engine's report,
    // or, once stopped, with an empty report and the operation-canceled error.
    void check(std::shared_ptr<const nv::nvs::url_t> url, nv::nvs::category_set_t mask, callback_t callback);

    // Loads the databases of `dir` (another directory drops the old ones first).
    // Ignored once stopped.
    void reload(const std::string& dir);

    // Final: pending checks complete with the operation-canceled error, the
    // engine goes, the signal is emitted. Idempotent.
    void stop();

    state_t state() const noexcept;
    // The directory of the running or last finished reload, as last reported.
    const std::string& dir() const noexcept { return dir_; }
    // The engine, or null once stopped.
    const nv::nvs::async::engine_t* engine() const noexcept { return engine_.get(); }
    // The databases loaded by the last finished reload; 0 once stopped.
    std::size_t database_count() const noexcept;

    // Emitted after every state change of the engine and on stop.
    signal_t& signal() noexcept { return signal_; }

private:
    void on_engine_signal(const nv::nvs::async::engine_t& engine);

    signal_t signal_;
    bool stopped_ = false;
    std::string dir_;
    nv::nvs::async::thread_t thread_;
    std::unique_ptr<nv::nvs::async::engine_t> engine_;
    boost::signals2::scoped_connection connection_;
    boost::asio::io_context& main_;
};

} // namespace uc
