// Exception types of the daemon and the conversions from a caught exception or
// an error code to a suite code (nv::ErrorCode), the currency of exit statuses
// and of answers to peers.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.h"

namespace nv {

// Failure that carries one suite code.
class cf_proto_exception_t : public std::runtime_error {
public:
    cf_proto_exception_t(ErrorCode code, const std::string& text);
    ErrorCode code() const noexcept { return code_; }

private:
    ErrorCode code_;
};

// Failure that carries an error code of any category; converted like a system error.
class cf_exception_t : public std::runtime_error {
public:
    cf_exception_t(const boost::system::error_code& code, const std::string& text);
    const boost::system::error_code& code() const noexcept { return code_; }

private:
    boost::system::error_code code_;
};

// A system error whose text names the category and value as well, e.g.
// "setuid: Operation not permitted [system:1]"; the library of this platform
// leaves the bracketed part out of its own text.
class cf_system_error_t : public boost::system::system_error {
public:
    // An empty operation gives a text without the "operation: " prefix.
    cf_system_error_t(const boost::system::error_code& code, const std::string& operation);
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// Throws a cf_system_error_t for the code with the operation text.
[[noreturn]] void throw_system_error(const boost::system::error_code& code, const std::string& operation);
// Same for the current errno in the system category.
[[noreturn]] void throw_errno(const std::string& operation);

// The error code an exception stands for; EC_UNEXPECTED_ERROR when it carries none.
boost::system::error_code error_code_of(const std::exception& e) noexcept;

// The suite code of an error code: itself for a defined "nv.Error" value, else
// by comparison with a fixed list of generic conditions, else EC_UNEXPECTED_ERROR.
ErrorCode to_error_code_value(const boost::system::error_code& code) noexcept;

// Exit status for an exception: to_error_code_value(error_code_of(e)).
ErrorCode exit_code_of(const std::exception& e) noexcept;

// The text that goes into the log for a caught exception: the what-text with
// library prefixes ("boost::filesystem::") cut off, "opendir:" for a failed
// directory listing, "Not enough memory" for std::bad_alloc. Valid while the
// exception lives; a rewritten text is valid until the next rewrite on the same
// thread. Never throws.
const char* log_text(const std::exception& e) noexcept;

}  // namespace nv
