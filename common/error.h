// The "nv.Error" category: suite error codes (nv::ErrorCode) carried as
// boost::system::error_code values.
#pragma once

#include <optional>
#include <string>
#include <type_traits>

#include <boost/system/error_code.hpp>

#include "proto/error.pb.h"

namespace nv {

// Carries nv::ErrorCode values; its codes are equivalent only to conditions of
// this category, never to the generic POSIX ones.
class cf_proto_error_impl_t final : public boost::system::error_category {
public:
    const char* name() const noexcept override;
    // The value's lex text, else its name, else "nv.Error <value>".
    std::string message(int value) const override;
};

// The one process-wide instance.
const boost::system::error_category& proto_error_category() noexcept;

// Pairs a suite code with the "nv.Error" category.
boost::system::error_code make_error_code(ErrorCode code) noexcept;

// Text of an nv::ErrorCode value: its lex text, else its name; nothing when the
// enumeration has no such value.
std::optional<std::string> error_code_text(int value);

}  // namespace nv

namespace boost::system {
template <>
struct is_error_code_enum<nv::ErrorCode> : std::true_type {};
}  // namespace boost::system
