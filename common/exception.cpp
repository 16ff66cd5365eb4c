#include "common/exception.h"

#include <cerrno>
#include <new>

#include <boost/system/error_code.hpp>

namespace nv {

namespace {

std::string system_error_text(const boost::system::error_code& code, const std::string& operation)
{
    std::string text = operation;
    if (!text.empty())
        text += ": ";
    text += code.message();
    text += " [";
    text += code.category().name();
    text += ':';
    text += std::to_string(code.value());
    text += ']';
    return text;
}

}  // namespace

cf_proto_exception_t::cf_proto_exception_t(ErrorCode code, const std::string& text)
    : std::runtime_error(text), code_(code)
{
}

cf_exception_t::cf_exception_t(const boost::system::error_code& code, const std::string& text)
    : std::runtime_error(text), code_(code)
{
}

cf_system_error_t::cf_system_error_t(const boost::system::error_code& code, const std::string& operation)
    : boost::system::system_error(code, operation), text_(system_error_text(code, operation))
{
}

void throw_system_error(const boost::system::error_code& code, const std::string& operation)
{
    throw cf_system_error_t(code, operation);
}

void throw_errno(const std::string& operation)
{
    const int error = errno;
    throw cf_system_error_t(boost::system::error_code(error, boost::system::system_category()), operation);
}

boost::system::error_code error_code_of(const std::exception& e) noexcept
{
    if (const auto* system = dynamic_cast<const boost::system::system_error*>(&e))
        return system->code();
    if (const auto* proto = dynamic_cast<const cf_proto_exception_t*>(&e))
        return make_error_code(proto->code());
    if (const auto* common = dynamic_cast<const cf_exception_t*>(&e))
        return common->code();
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return make_error_code(EC_NO_MEMORY);
    return make_error_code(EC_UNEXPECTED_ERROR);
}

ErrorCode to_error_code_value(const boost::system::error_code& code) noexcept
{
    if (code.category() == proto_error_category() && ErrorCode_IsValid(code.value()))
        return static_cast<ErrorCode>(code.value());

    using boost::system::errc::errc_t;
    struct row_t {
        errc_t condition;
        ErrorCode result;
    };
    // Order matters only in that the first equivalent condition wins.
    static constexpr row_t table[] = {
        {boost::system::errc::success, EC_OK},
        {boost::system::errc::permission_denied, EC_PERMISSION_DENIED},
        {boost::system::errc::operation_not_permitted, EC_PERMISSION_DENIED},
        {boost::system::errc::no_such_file_or_directory, EC_NO_SUCH_ENTRY},
        {boost::system::errc::not_a_directory, EC_NOT_A_DIRECTORY},
        {boost::system::errc::read_only_file_system, EC_READ_ONLY_FS},
        {boost::system::errc::invalid_argument, EC_INVALID_ARGUMENT},
        {boost::system::errc::file_exists, EC_FILE_EXISTS},
        {boost::system::errc::address_in_use, EC_NAME_ALREADY_IN_USE},
        {boost::system::errc::cross_device_link, EC_CROSS_DEVICE_LINK},
        {boost::system::errc::not_enough_memory, EC_NO_MEMORY},
    };
    for (const auto& row : table) {
        if (code == boost::system::errc::make_error_condition(row.condition))
            return row.result;
    }
    return EC_UNEXPECTED_ERROR;
}

ErrorCode exit_code_of(const std::exception& e) noexcept
{
    return to_error_code_value(error_code_of(e));
}

}  // namespace nv
