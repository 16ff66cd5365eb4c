#include "nvs/log.h"

#include <cstdio>
#include <string>

namespace nv::nvs {

namespace {

const char* tag_of(log_t::level_t level) noexcept
{
    switch (level) {
    case log_t::debug: return "[DEBUG]";
    case log_t::warning: return "[WARNING]";
    default: return "[ERROR]";
    }
}

void write_to_standard_output(log_t::level_t level, std::string_view text)
{
    std::string line = tag_of(level);
    line += ": ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

log_t& log_t::instance()
{
    static log_t instance;
    return instance;
}

log_t::log_t() { set_default_handler(); }

log_t::level_t log_t::threshold() const noexcept
{
    return static_cast<level_t>(threshold_.load(std::memory_order_relaxed));
}

void log_t::set_threshold(level_t threshold) noexcept { threshold_.store(threshold, std::memory_order_relaxed); }

void log_t::set_handler(handler_t handler)
{
    auto shared = handler ? std::make_shared<const handler_t>(std::move(handler)) : nullptr;
    std::lock_guard lock(mutex_);
    handler_ = std::move(shared);
}

void log_t::set_default_handler() { set_handler(write_to_standard_output); }

void log_t::write(level_t level, std::string_view text) const
{
    if (!enabled(level))
        return;
    // A copy keeps the handler alive while it runs, even if it is replaced meanwhile.
    std::shared_ptr<const handler_t> handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (handler)
        (*handler)(level, text);
}

void log(log_t::level_t level, std::string_view text) { log_t::instance().write(level, text); }

}  // namespace nv::nvs
