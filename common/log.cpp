#include "common/log.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace nv {

namespace detail {
std::atomic<int> level_in_force{log_debug};
}

namespace {

enum class mode_t : int { buffering, installed, direct };

// Trivially destructible, so that messages logged during static destruction,
// after the state below is gone, still find the direct mode.
std::atomic<mode_t> mode{mode_t::buffering};

struct buffered_t {
    int level;
    std::string text;
};

struct state_t {
    std::mutex mutex;
    std::shared_ptr<cf_log_t> installed;
    std::vector<buffered_t> buffer;
};

state_t& state()
{
    static state_t instance;
    return instance;
}

void write_direct(int level, std::string_view text)
{
    std::string line = level_name(level);
    line += ": ";
    line += text;
    line += '\n';
    write_all(STDERR_FILENO, line);
}

// Anything still buffered at exit goes to standard error, and so does every
// later message.
void flush_at_exit() noexcept
{
    std::vector<buffered_t> pending;
    {
        std::lock_guard lock(state().mutex);
        mode.store(mode_t::direct);
        pending.swap(state().buffer);
    }
    if (pending.empty())
        return;
    try {
        if (log_enabled(log_debug))
            log_message(log_debug, "Flushing log...");
        for (const auto& message : pending)
            log_message(message.level, message.text);
    } catch (...) {
        // Nothing more can be done while the process exits.
    }
}

// The state is constructed before the handler is registered, so the handler
// runs before the state (installed log and buffer) is destroyed.
struct exit_flush_registration_t {
    exit_flush_registration_t()
    {
        state();
        std::atexit(flush_at_exit);
    }
} exit_flush_registration;

}  // namespace

void set_level(int level) noexcept { detail::level_in_force.store(level, std::memory_order_relaxed); }

const char* level_name(int level) noexcept
{
    switch (level) {
    case log_debug: return "Debug";
    case log_info: return "Info";
    case log_notice: return "Notice";
    case log_warning: return "Warning";
    case log_error: return "Error";
    default: return "Unknown";
    }
}

cf_log_t::cf_log_t(log_sink_t extra_sink, log_sink_t tagged_sink)
    : extra_sink_(std::move(extra_sink)), tagged_sink_(std::move(tagged_sink))
{
}

void cf_log_t::write_extra(std::string_view text) const
{
    if (extra_sink_)
        extra_sink_(text);
}

void log_message(int level, std::string_view text)
{
    if (mode.load() == mode_t::direct) {
        if (log_enabled(level))
            write_direct(level, text);
        return;
    }
    // A copy keeps the log alive while it writes, even if another thread
    // installs a new one meanwhile.
    std::shared_ptr<cf_log_t> log;
    {
        std::lock_guard lock(state().mutex);
        if (mode.load() == mode_t::buffering) {
            state().buffer.push_back({level, std::string(text)});
            return;
        }
        log = state().installed;
    }
    if (!log) {
        write_direct(level, text);
        return;
    }
    log->write(level, text);
    if (log->has_extra_sink()) {
        std::string line = level_name(level);
        line += ": ";
        line += text;
        std::lock_guard lock(state().mutex);
        log->write_extra(line);
    }
}

void install_log(std::shared_ptr<cf_log_t> log)
{
    if (!log)
        return;
    std::vector<buffered_t> pending;
    {
        std::lock_guard lock(state().mutex);
        // The previous log goes first: a syslog log must close before the next opens.
        state().installed.reset();
        log->open();
        state().installed = std::move(log);
        if (mode.load() == mode_t::buffering) {
            pending.swap(state().buffer);
            mode.store(mode_t::installed);
        }
    }
    for (const auto& message : pending) {
        if (log_enabled(message.level))
            log_message(message.level, message.text);
    }
}

bool log_installed()
{
    std::lock_guard lock(state().mutex);
    return state().installed != nullptr;
}

void report_out_of_memory() noexcept
{
    if (mode.load() == mode_t::installed) {
        std::shared_ptr<cf_log_t> log;
        {
            std::lock_guard lock(state().mutex);
            log = state().installed;
        }
        if (log) {
            log->out_of_memory();
            return;
        }
    }
    write_all(STDERR_FILENO, "Error: Not enough memory\n");
}

std::mutex& log_mutex() noexcept { return state().mutex; }

void write_all(int descriptor, std::string_view bytes) noexcept
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (written == 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace nv
