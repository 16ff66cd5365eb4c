#include "common/log_factory.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "common/integer.h"
#include "common/log_sinks.h"

namespace nv {

namespace {

constexpr const char* add_log_pipe_variable = "COM_NORVA_ADD_LOG_PIPE";

// The additional log pipe named by the environment, if any.
std::optional<int> additional_log_pipe()
{
    const char* value = std::getenv(add_log_pipe_variable);
    if (!value)
        return std::nullopt;
    try {
        const int descriptor = parse_int32(value);
        if (log_enabled(log_debug))
            log_message(log_debug, "Log Factory: Additional log - " + std::to_string(descriptor));
        return descriptor;
    } catch (const std::exception&) {
        if (log_enabled(log_error))
            log_message(log_error, "Log Factory: Wrong environment variable COM_NORVA_ADD_LOG_PIPE");
        return std::nullopt;
    }
}

log_sink_t pipe_writer(int descriptor)
{
    return [descriptor](std::string_view text) {
        write_all(descriptor, text);
        write_all(descriptor, "\n");
    };
}

int open_log_file(const std::string& path)
{
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (descriptor >= 0)
        return descriptor;
    const int first_error = errno;
    // Without O_CREAT, for a file that exists where creation is not allowed.
    descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (descriptor >= 0)
        return descriptor;
    throw boost::filesystem::filesystem_error(
        "Cannot create log", boost::filesystem::path(path),
        boost::system::error_code(first_error, boost::system::system_category()));
}

}  // namespace

std::shared_ptr<cf_log_t> make_log(const Log& description, log_sink_t extra_sink, log_sink_t tagged_sink)
{
    bool sink_from_factory = false;
    if (!extra_sink) {
        if (const auto descriptor = additional_log_pipe()) {
            extra_sink = pipe_writer(*descriptor);
            sink_from_factory = true;
        }
    }
    bool tagged_is_copy = false;
    if (!tagged_sink) {
        tagged_sink = extra_sink;
        tagged_is_copy = true;
    }

    switch (description.type()) {
    case Log::FILE: {
        const int descriptor = open_log_file(description.path());
        return std::make_shared<cf_file_log_t>(descriptor, true, std::move(extra_sink), std::move(tagged_sink));
    }
    case Log::STDERR:
        // A log on standard error never copies to the additional pipe.
        if (sink_from_factory) {
            extra_sink = nullptr;
            if (tagged_is_copy)
                tagged_sink = nullptr;
        }
        if (description.show_timestamp())
            return std::make_shared<cf_file_log_t>(STDERR_FILENO, false, std::move(extra_sink), std::move(tagged_sink));
        return std::make_shared<cf_console_log_t>(std::move(extra_sink), std::move(tagged_sink));
    case Log::SYSLOG:
        return std::make_shared<cf_syslog_log_t>(syslog_facility_of(description.facility()),
                                                 description.has_ident() ? description.ident() : std::string(),
                                                 std::move(extra_sink), std::move(tagged_sink));
    default:
        return nullptr;
    }
}

std::shared_ptr<cf_log_t> make_console_log() { return std::make_shared<cf_console_log_t>(); }

int syslog_facility_of(int facility) noexcept
{
    switch (facility) {
    case Log::USER: return LOG_USER;
    case Log::MAIL: return LOG_MAIL;
    default: break;
    }
    if (facility >= Log::LOCAL0 && facility <= Log::LOCAL7)
        return LOG_LOCAL0 + (facility - Log::LOCAL0) * (LOG_LOCAL1 - LOG_LOCAL0);
    return LOG_DAEMON;
}

int log_level_of(int configured_level) noexcept
{
    if (configured_level >= LOG_LEVEL_DEBUG && configured_level <= LOG_LEVEL_ERROR)
        return configured_level - LOG_LEVEL_DEBUG + log_debug;
    return log_error;
}

}  // namespace nv
