// The standalone command-line tool: help, version, the executable report.
#pragma once

namespace uc {

// Prints what the options ask for and exits with 0, or refuses to run
// standalone with status 1. A malformed command line throws the option
// library's exception (status 125 through the caller).
[[noreturn]] void run_command_line(const char* program, const char* version, int argc, char* argv[]);

}  // namespace uc
