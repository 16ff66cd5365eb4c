#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.h"
#include "common/exception.h"

namespace nv {
namespace {

TEST(ProtoErrorCategory, NameAndMessages)
{
    EXPECT_STREQ(proto_error_category().name(), "nv.Error");
    struct row_t {
        int value;
        const char* message;
    };
    const row_t rows[] = {
        {0, "Success"},
        {24, "Permission denied"},
        {65, "Feature not implemented"},
        {112, "No web resource databases"},
        {125, "Unexpected error"},
        {14, "nv.Error 14"},
        {-3, "nv.Error -3"},
        {126, "nv.Error 126"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(proto_error_category().message(row.value), row.message);
    }
}

TEST(ProtoErrorCategory, ErrorCodeEnumConvertsToItsCategory)
{
    const boost::system::error_code code = EC_BAD_MESSAGE_SIZE;
    EXPECT_EQ(code.value(), 7);
    EXPECT_EQ(&code.category(), &proto_error_category());
    EXPECT_EQ(code.message(), "Invalid IPC message size");
}

TEST(ProtoErrorCategory, NotEquivalentToGenericConditions)
{
    // EC_NO_SUCH_ENTRY is 23, which is ENFILE in errno numbering, and value 2 is ENOENT;
    // neither may match a generic condition.
    const boost::system::error_code two(2, proto_error_category());
    EXPECT_FALSE(two == boost::system::errc::no_such_file_or_directory);
    const boost::system::error_code enfile = EC_NO_SUCH_ENTRY;
    EXPECT_FALSE(enfile == boost::system::errc::too_many_files_open_in_system);
}

TEST(ErrorCodeText, LexTextElseNothing)
{
    EXPECT_EQ(error_code_text(107), "Process terminated by signal");
    EXPECT_EQ(error_code_text(0), "Success");
    EXPECT_FALSE(error_code_text(14).has_value());
    EXPECT_FALSE(error_code_text(-1).has_value());
}

TEST(ToErrorCodeValue, Table)
{
    using boost::system::error_code;
    const auto& system = boost::system::system_category();
    const auto& generic = boost::system::generic_category();
    struct row_t {
        error_code code;
        ErrorCode expected;
    };
    const row_t rows[] = {
        {error_code(0, system), EC_OK},
        {error_code(), EC_OK},
        {error_code(EACCES, system), EC_PERMISSION_DENIED},
        {error_code(EPERM, system), EC_PERMISSION_DENIED},
        {error_code(ENOENT, system), EC_NO_SUCH_ENTRY},
        {error_code(ENOTDIR, system), EC_NOT_A_DIRECTORY},
        {error_code(EROFS, system), EC_READ_ONLY_FS},
        {error_code(EINVAL, system), EC_INVALID_ARGUMENT},
        {error_code(EEXIST, system), EC_FILE_EXISTS},
        {error_code(EADDRINUSE, system), EC_NAME_ALREADY_IN_USE},
        {error_code(EXDEV, system), EC_CROSS_DEVICE_LINK},
        {error_code(ENOMEM, system), EC_NO_MEMORY},
        {error_code(EACCES, generic), EC_PERMISSION_DENIED},
        {error_code(ENOSPC, system), EC_UNEXPECTED_ERROR},
        {error_code(ECONNREFUSED, system), EC_UNEXPECTED_ERROR},
        {error_code(112, proto_error_category()), EC_NO_NVS_BASES},
        {error_code(24, proto_error_category()), EC_PERMISSION_DENIED},
        {error_code(0, proto_error_category()), EC_OK},
        // Undefined values are compared with the generic conditions and match none.
        {error_code(14, proto_error_category()), EC_UNEXPECTED_ERROR},
        {error_code(-3, proto_error_category()), EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code.category().name() + std::string(":") + std::to_string(row.code.value()));
        EXPECT_EQ(to_error_code_value(row.code), row.expected);
    }
}

TEST(ExceptionConversion, ErrorCodeOfEachKind)
{
    const boost::system::system_error system(EACCES, boost::system::system_category(), "open");
    const boost::filesystem::filesystem_error filesystem(
        "stat", "/x", boost::system::error_code(ENOENT, boost::system::system_category()));
    const cf_proto_exception_t proto(EC_NOT_A_REGULAR_FILE, "not regular");
    const cf_exception_t common(boost::system::error_code(EROFS, boost::system::system_category()), "ro");
    const cf_system_error_t own(boost::system::error_code(EPERM, boost::system::system_category()), "setuid");
    const std::bad_alloc no_memory;
    const std::bad_array_new_length bad_length;
    const std::logic_error logic("logic");
    const std::runtime_error runtime("runtime");

    struct row_t {
        const char* name;
        const std::exception& e;
        int value;
        const boost::system::error_category& category;
        ErrorCode exit;
    };
    const auto& sys = boost::system::system_category();
    const auto& nv = proto_error_category();
    const row_t rows[] = {
        {"system_error", system, EACCES, sys, EC_PERMISSION_DENIED},
        {"filesystem_error", filesystem, ENOENT, sys, EC_NO_SUCH_ENTRY},
        {"cf_proto_exception_t", proto, EC_NOT_A_REGULAR_FILE, nv, EC_NOT_A_REGULAR_FILE},
        {"cf_exception_t", common, EROFS, sys, EC_READ_ONLY_FS},
        {"cf_system_error_t", own, EPERM, sys, EC_PERMISSION_DENIED},
        {"bad_alloc", no_memory, EC_NO_MEMORY, nv, EC_NO_MEMORY},
        {"bad_array_new_length", bad_length, EC_NO_MEMORY, nv, EC_NO_MEMORY},
        {"logic_error", logic, EC_UNEXPECTED_ERROR, nv, EC_UNEXPECTED_ERROR},
        {"runtime_error", runtime, EC_UNEXPECTED_ERROR, nv, EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto code = error_code_of(row.e);
        EXPECT_EQ(code.value(), row.value);
        EXPECT_EQ(&code.category(), &row.category);
        EXPECT_EQ(exit_code_of(row.e), row.exit);
    }
}

TEST(SystemError, TextNamesCategoryAndValue)
{
    const cf_system_error_t setuid(boost::system::error_code(EPERM, boost::system::system_category()), "setuid");
    EXPECT_STREQ(setuid.what(), "setuid: Operation not permitted [system:1]");
    const cf_system_error_t send(EC_BAD_MESSAGE_SIZE, "async_send_message");
    EXPECT_STREQ(send.what(), "async_send_message: Invalid IPC message size [nv.Error:7]");
    const cf_system_error_t bare(EC_NOT_A_REGULAR_FILE, "");
    EXPECT_STREQ(bare.what(), "Not a regular file [nv.Error:33]");

    errno = EACCES;
    try {
        throw_errno("open");
        FAIL() << "throw_errno returned";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EACCES);
        EXPECT_STREQ(e.what(), "open: Permission denied [system:13]");
    }
}

}  // namespace
}  // namespace nv
