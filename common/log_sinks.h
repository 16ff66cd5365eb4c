// The three kinds of installed log: standard error, a file, syslog.
#pragma once

#include <string>
#include <string_view>

#include "common/log.h"

namespace nv {

// Lines "<level>: <text>" on standard error.
class cf_console_log_t : public cf_log_t {
public:
    explicit cf_console_log_t(log_sink_t extra_sink = {}, log_sink_t tagged_sink = {});
    void write(int level, std::string_view text) override;
    void write_tagged(std::string_view tag, int number, std::string_view text) override;
    void out_of_memory() noexcept override;
};

// Lines "<time stamp> [<pid>] <level>: <text>" on a descriptor (a log file, or
// standard error with time stamps).
class cf_file_log_t : public cf_log_t {
public:
    // Closes the descriptor on destruction only if it owns it.
    cf_file_log_t(int descriptor, bool owns_descriptor, log_sink_t extra_sink = {}, log_sink_t tagged_sink = {});
    ~cf_file_log_t() override;
    void write(int level, std::string_view text) override;
    void write_tagged(std::string_view tag, int number, std::string_view text) override;
    void out_of_memory() noexcept override;

    int descriptor() const noexcept { return descriptor_; }

private:
    int descriptor_;
    bool owns_descriptor_;
    int pid_;
};

// Messages to syslog at the priority of their level, without the level name.
class cf_syslog_log_t : public cf_log_t {
public:
    // An empty ident lets the system use the program name.
    cf_syslog_log_t(int facility, std::string ident, log_sink_t extra_sink = {}, log_sink_t tagged_sink = {});
    ~cf_syslog_log_t() override;
    void open() override;
    void write(int level, std::string_view text) override;
    void write_tagged(std::string_view tag, int number, std::string_view text) override;
    void out_of_memory() noexcept override;

private:
    int facility_;
    // openlog() keeps the pointer: the text must live as long as the connection.
    std::string ident_;
};

// Local time at second resolution, e.g. "2022-May-23 16:40:01".
std::string log_time_stamp();

// Syslog priority of a log level (LOG_ERR for unknown levels).
int syslog_priority(int level) noexcept;

}  // namespace nv
