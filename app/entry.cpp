#include "app/entry.h"

#include <cstdlib>
#include <exception>
#include <new>

#include <google/protobuf/stubs/common.h>
#include <unistd.h>

#include "app/command_line.h"
#include "app/daemon.h"
#include "app/need_restart.h"
#include "app/version.h"
#include "common/exception.h"
#include "common/integer.h"
#include "common/log.h"
#include "common/log_factory.h"

namespace uc {

namespace {

// Where nothing was configured, the exit and terminate paths speak on the console.
void ensure_log_installed()
{
    if (!nv::log_installed()) {
        nv::set_level(nv::log_notice);
        nv::install_log(nv::make_console_log());
    }
}

}  // namespace

std::string exit_status_text(int status)
{
    return nv::error_code_text(status).value_or(std::to_string(status));
}

void exit_with_status(int status)
{
    ensure_log_installed();
    if (nv::log_enabled(nv::log_notice))
        nv::log_message(nv::log_notice,
                        "Exit with status " + std::to_string(status) + " (" + exit_status_text(status) + ")");
    std::exit(status);
}

void on_terminate() noexcept
{
    try {
        ensure_log_installed();
        if (const auto current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& e) {
                if (nv::log_enabled(nv::log_error))
                    nv::log_message(nv::log_error, nv::log_text(e));
                ::_exit(nv::exit_code_of(e));
            } catch (...) {
                // Not one of ours: reported below like no exception at all.
            }
        }
        if (nv::log_enabled(nv::log_error))
            nv::log_message(nv::log_error, "Unexpected exception");
        ::_exit(nv::EC_UNEXPECTED_ERROR);
    } catch (const std::bad_alloc&) {
        nv::report_out_of_memory();
        ::_exit(nv::EC_NO_MEMORY);
    } catch (...) {
        ::_exit(nv::EC_UNEXPECTED_ERROR);
    }
}

void on_protobuf_log(google::protobuf::LogLevel level, const char* file, int line, const std::string& message)
{
    int daemon_level = nv::log_error;
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        daemon_level = nv::log_info;
        break;
    case google::protobuf::LOGLEVEL_WARNING:
        // Said of every large but legitimate message; not worth a warning.
        if (message.starts_with("Reading dangerously large protocol message."))
            return;
        daemon_level = nv::log_warning;
        break;
    default:
        break;
    }
    try {
        if (nv::log_enabled(daemon_level))
            nv::log_message(daemon_level, message);
    } catch (...) {
        // The runtime cannot take an exception here; the message is lost.
    }
}

void run_main(int argc, char* argv[])
{
    std::set_terminate(on_terminate);
    google::protobuf::SetLogHandler(on_protobuf_log);
    GOOGLE_PROTOBUF_VERIFY_VERSION;

    int status = nv::EC_OK;
    try {
        if (const char* monitor = std::getenv(monitor_variable)) {
            run_daemon(nv::parse_int32(monitor));
        } else {
            run_command_line(program_name, program_version, argc, argv);
        }
    } catch (const need_restart_t&) {
        if (nv::log_enabled(nv::log_notice))
            nv::log_message(nv::log_notice, "Will restart for config changes to take effect");
        status = nv::EC_OK;
    } catch (const std::exception& e) {
        if (nv::log_enabled(nv::log_error))
            nv::log_message(nv::log_error, nv::log_text(e));
        status = nv::exit_code_of(e);
    } catch (nv::ErrorCode code) {
        status = code;
    }
    exit_with_status(status);
}

}  // namespace uc
