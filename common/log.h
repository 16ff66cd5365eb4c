// The process-wide log: one entry point (log_message) whose messages are held
// in memory until a log is installed, then go to the installed log, and after
// the at-exit flush go straight to standard error.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

namespace nv {

// Levels of the daemon's log; a lower number is more verbose.
enum log_level_t : int {
    log_debug = 0,
    log_info = 1,
    log_notice = 2,
    log_warning = 3,
    log_error = 4,
};

namespace detail {
extern std::atomic<int> level_in_force;
}

// The level in force: messages below it are not produced.
inline int log_level() noexcept { return detail::level_in_force.load(std::memory_order_relaxed); }
void set_level(int level) noexcept;
// Whether a message at this level would be produced; test it before building the text.
inline bool log_enabled(int level) noexcept { return level >= log_level(); }

// "Debug", "Info", "Notice", "Warning", "Error", or "Unknown" for any other level.
const char* level_name(int level) noexcept;

// Receives one text per message (the additional log pipe). Empty means none.
using log_sink_t = std::function<void(std::string_view)>;

// Base of the installed log. Instances always live in shared pointers; write()
// does no level filtering (log_message and its callers do).
class cf_log_t {
public:
    cf_log_t(log_sink_t extra_sink, log_sink_t tagged_sink);
    virtual ~cf_log_t() = default;
    cf_log_t(const cf_log_t&) = delete;
    cf_log_t& operator=(const cf_log_t&) = delete;

    // Prepares the destination; called once, on installation.
    virtual void open() {}
    // Writes one message.
    virtual void write(int level, std::string_view text) = 0;
    // Writes a record labelled with a tag and a number.
    virtual void write_tagged(std::string_view tag, int number, std::string_view text) = 0;
    // Reports memory exhaustion without allocating.
    virtual void out_of_memory() noexcept = 0;

    // Gets "<level name>: <text>" of every message; log_message calls it under log_mutex().
    void write_extra(std::string_view text) const;
    bool has_extra_sink() const noexcept { return static_cast<bool>(extra_sink_); }
    const log_sink_t& extra_sink() const noexcept { return extra_sink_; }
    const log_sink_t& tagged_sink() const noexcept { return tagged_sink_; }

private:
    log_sink_t extra_sink_;
    log_sink_t tagged_sink_;
};

// Writes one message at a level through the current mode: buffered before the
// first install_log, through the installed log after it, straight to standard
// error (filtered by the level in force) after the at-exit flush. Thread-safe.
void log_message(int level, std::string_view text);

// Makes the log the installed one (the previous one is released first), opens
// it, and writes out the buffered messages that the level in force lets
// through, in their order of arrival. An empty pointer changes nothing.
void install_log(std::shared_ptr<cf_log_t> log);

// Whether a log is installed.
bool log_installed();

// Reports memory exhaustion through the installed log, or on standard error.
void report_out_of_memory() noexcept;

// Serialises installation, the extra sink and the line writes of the console
// and file logs, so that lines of different threads never interleave.
std::mutex& log_mutex() noexcept;

// Writes all bytes, repeating writes cut short or interrupted by a signal;
// any other failure ends the attempt silently.
void write_all(int descriptor, std::string_view bytes) noexcept;

}  // namespace nv
