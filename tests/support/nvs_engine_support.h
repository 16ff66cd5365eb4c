#pragma once
// Helpers for tests of the database engine: the library log captured line by
// line, and the main event loop run until a condition holds.

#include "nvs/log.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nv::nvs::test {

// Captures every library log line (threshold debug) while it lives, then puts
// back the default handler and threshold. Lines arrive from the worker thread.
class log_capture_t {
public:
    struct line_t {
        log_t::level_t level;
        std::string text;
    };

    log_capture_t();
    ~log_capture_t();
    log_capture_t(const log_capture_t&) = delete;
    log_capture_t& operator=(const log_capture_t&) = delete;

    std::vector<line_t> lines() const;
    // The lines so far, which are forgotten.
    std::vector<line_t> take();
    // The texts of the lines that begin with the prefix, in order.
    std::vector<std::string> texts(const std::string& prefix) const;

private:
    mutable std::mutex mutex_;
    std::vector<line_t> lines_;
};

// Runs handlers of the loop until `done` holds or the time is up (generous by
// default: the machine may be loaded). Returns whether `done` held.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

// Runs the handlers that are ready, waiting a little for stragglers posted by
// another thread, until none came for `quiet`.
void run_pending(boost::asio::io_context& io, std::chrono::milliseconds quiet = std::chrono::milliseconds(200));

} // namespace nv::nvs::test
