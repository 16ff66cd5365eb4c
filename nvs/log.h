// The database library's own small log. The daemon bridges it into its
// process-wide log by replacing the handler; used alone, the library prints to
// standard output.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

namespace nv::nvs {

class log_t {
public:
    enum level_t : int { debug = 0, warning = 1, error = 2 };
    using handler_t = std::function<void(level_t, std::string_view)>;

    // The process-wide instance, created on first use with threshold debug and
    // the default handler.
    static log_t& instance();

    level_t threshold() const noexcept;
    void set_threshold(level_t threshold) noexcept;
    // Whether a message at the level reaches the handler; test it before formatting.
    bool enabled(level_t level) const noexcept { return level >= threshold(); }

    // Replaces the handler; an empty handler drops every message.
    void set_handler(handler_t handler);
    // Handler writing "[DEBUG]", "[WARNING]" or "[ERROR]", ": ", the text and a
    // newline to standard output.
    void set_default_handler();

    // Passes the message to the handler if the level is at or above the threshold.
    // Thread-safe: the worker thread writes while the main thread may replace the handler.
    void write(level_t level, std::string_view text) const;

private:
    log_t();

    std::atomic<int> threshold_{debug};
    mutable std::mutex mutex_;
    std::shared_ptr<const handler_t> handler_;
};

// Shorthand for log_t::instance().write(level, text).
void log(log_t::level_t level, std::string_view text);

}  // namespace nv::nvs
