// The report on the daemon's own executable file (nv.AppExeInfo as JSON).
#pragma once

#include <ostream>
#include <string>

#include "proto/application.pb.h"

namespace uc {

// Version, times, size, MD5 and owner of the file named by argv[0] (resolved
// against the current directory, not searched in PATH). Throws on failure.
nv::AppExeInfo collect_exe_info(const std::string& version, int argc, char* argv[]);

// The 16 raw bytes of the MD5 digest of a file's contents. Throws
// cf_proto_exception_t with the text "MD5: <reason>: \"<path>\"".
std::string md5_of_file(const std::string& path);

// The message as one line of JSON (no newline); "{}" if it cannot be printed.
void print_exe_info(std::ostream& out, const nv::AppExeInfo& info);

}  // namespace uc
