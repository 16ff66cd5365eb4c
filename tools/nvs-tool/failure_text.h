#pragma once
// How nvs-tool reports a database that does not open.

#include <boost/system/system_error.hpp>

#include <string>

namespace nvs_tool {

// The code's message for a format or signature failure ("Bad file format");
// the failing call and the system's message for a system error ("mmap: Invalid argument").
std::string failure_text(const boost::system::system_error& e);

} // namespace nvs_tool
