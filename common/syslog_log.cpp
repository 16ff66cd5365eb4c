#include <atomic>
#include <string>

#include <syslog.h>

#include "common/log_sinks.h"

namespace nv {

namespace {

// The log whose openlog() is in force. A log released late (still held by a
// writer on another thread) must not close the connection of its successor.
std::atomic<const cf_syslog_log_t*> syslog_opener{nullptr};

}  // namespace

int syslog_priority(int level) noexcept
{
    switch (level) {
    case log_debug: return LOG_DEBUG;
    case log_info: return LOG_INFO;
    case log_notice: return LOG_NOTICE;
    case log_warning: return LOG_WARNING;
    default: return LOG_ERR;
    }
}

cf_syslog_log_t::cf_syslog_log_t(int facility, std::string ident, log_sink_t extra_sink, log_sink_t tagged_sink)
    : cf_log_t(std::move(extra_sink), std::move(tagged_sink)), facility_(facility), ident_(std::move(ident))
{
}

cf_syslog_log_t::~cf_syslog_log_t()
{
    const cf_syslog_log_t* self = this;
    if (syslog_opener.compare_exchange_strong(self, nullptr))
        ::closelog();
}

void cf_syslog_log_t::open()
{
    ::openlog(ident_.empty() ? nullptr : ident_.c_str(), LOG_PID, facility_);
    syslog_opener.store(this);
}

void cf_syslog_log_t::write(int level, std::string_view text)
{
    ::syslog(syslog_priority(level), "%.*s", static_cast<int>(text.size()), text.data());
}

void cf_syslog_log_t::write_tagged(std::string_view tag, int number, std::string_view text)
{
    std::string line(tag);
    line += '-';
    line += std::to_string(number);
    line += ": ";
    line += text;
    ::syslog(LOG_ERR, "%s", line.c_str());
}

void cf_syslog_log_t::out_of_memory() noexcept { ::syslog(LOG_ERR, "Error: Not enough memory"); }

}  // namespace nv
