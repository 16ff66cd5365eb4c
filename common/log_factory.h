// Builds the installed log from its configuration record (nv.Log).
#pragma once

#include <memory>

#include "common/log.h"
#include "proto/log.pb.h"

namespace nv {

// The log described by the record: FILE, STDERR or SYSLOG; an empty pointer for
// AUTO or an unknown type. Without an extra sink, one writing to the descriptor
// named by COM_NORVA_ADD_LOG_PIPE is made (never for STDERR). Without a tagged
// sink, the extra sink serves for both. Throws a file-system error "Cannot
// create log" when a log file cannot be opened.
std::shared_ptr<cf_log_t> make_log(const Log& description, log_sink_t extra_sink = {}, log_sink_t tagged_sink = {});

// Standard-error log without sinks.
std::shared_ptr<cf_log_t> make_console_log();

// Syslog facility code of an nv.Log.LogFacility value (LOG_DAEMON for values
// without one of their own).
int syslog_facility_of(int facility) noexcept;

// Level of an nv.LogLevel value: 1..5 give Debug..Error, anything else Error.
int log_level_of(int configured_level) noexcept;

}  // namespace nv
