// The process frame: which of its two lives the process leads (daemon under
// ConfigD, or command-line tool), the exit line, and the process-wide hooks.
#pragma once

#include <string>

#include <google/protobuf/stubs/logging.h>

namespace uc {

// Environment variable holding the descriptor of the connected ConfigD socket.
inline constexpr const char* monitor_variable = "COM_NORVA_MONITOR";

// The whole life of the process; never returns. Every way out of the daemon
// passes exit_with_status with a suite error code.
[[noreturn]] void run_main(int argc, char* argv[]);

// Logs "Exit with status <n> (<text>)" at Notice (installing the console log
// if no log is installed yet) and exits, running the at-exit log flush.
[[noreturn]] void exit_with_status(int status);

// Text of an exit status: the suite code's lex text, else its name, else the number.
std::string exit_status_text(int status);

// Terminate handler: logs the escaping exception and ends with _exit.
[[noreturn]] void on_terminate() noexcept;

// Log handler of the protobuf runtime: its messages go to the daemon log.
void on_protobuf_log(google::protobuf::LogLevel level, const char* file, int line, const std::string& message);

}  // namespace uc
