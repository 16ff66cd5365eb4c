#pragma once
// Errors of the database library: a damaged or wrongly signed database file.
// Failures of system calls travel with the system category instead.

#include <boost/system/error_code.hpp>

namespace nv::nvs {

enum class error_t : int {
    success = 0,
    bad_file_format = 1,
    bad_file_signature = 2,
};

// The single instance of the category named "nv.nvs.error".
const boost::system::error_category& error_category() noexcept;

boost::system::error_code make_error_code(error_t e) noexcept;

// Raises boost::system::system_error carrying the code alone, without a what-argument.
[[noreturn]] void throw_error(error_t e);

// Raises boost::system::system_error with the code from errno and the failing call's name.
[[noreturn]] void throw_system_error(const char* call);

} // namespace nv::nvs

namespace boost::system {
template <>
struct is_error_code_enum<nv::nvs::error_t> : std::true_type {};
} // namespace boost::system
