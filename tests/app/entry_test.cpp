// The process-wide hooks, in forked children (they end or reconfigure the process).
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include "app/entry.h"
#include "common/log.h"
#include "common/log_factory.h"
#include "proto/error.pb.h"
#include "tests/support/process.h"

namespace uc {
namespace {

using nv::test::describe;
using nv::test::run_function;

// Lets an exception escape where none may, as a throwing destructor would.
template <typename F>
void escape(F throw_it) noexcept
{
    throw_it();
}

TEST(OnTerminate, LogsAndEndsWithTheExceptionsCode)
{
    struct row_t {
        const char* name;
        std::function<void()> end;
        int status;
        const char* err;
    };
    const row_t rows[] = {
        {"filesystem error", [] { escape([] { throw boost::filesystem::filesystem_error(
                                      "boost::filesystem::status", "/x",
                                      boost::system::error_code(EACCES, boost::system::system_category())); }); },
         24, "Notice: before\nError: status: Permission denied: \"/x\"\n"},
        {"bad_alloc", [] { escape([] { throw std::bad_alloc(); }); }, 21,
         "Notice: before\nError: Not enough memory\n"},
        {"logic_error", [] { escape([] { throw std::logic_error("broken"); }); }, 125,
         "Notice: before\nError: broken\n"},
        {"not a std::exception", [] { escape([] { throw 42; }); }, 125,
         "Notice: before\nError: Unexpected exception\n"},
        {"error code by value", [] { escape([] { throw nv::EC_BAD_CONFIG; }); }, 125,
         "Notice: before\nError: Unexpected exception\n"},
        {"no exception", [] { std::terminate(); }, 125, "Notice: before\nError: Unexpected exception\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto result = run_function([&] {
            std::set_terminate(on_terminate);
            // Buffered until the handler installs the console log.
            nv::log_message(nv::log_debug, "hidden");
            nv::log_message(nv::log_notice, "before");
            row.end();
            return 99;
        });
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, row.status);
        EXPECT_EQ(result.err, row.err);
    }
}

TEST(OnTerminate, KeepsAnInstalledLogAndItsLevel)
{
    const auto result = run_function([] {
        std::set_terminate(on_terminate);
        nv::set_level(nv::log_warning);
        nv::Log description;
        description.set_type(nv::Log::STDERR);
        nv::install_log(nv::make_log(description));
        escape([] { throw std::runtime_error("late"); });
        return 99;
    });
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 125);
    EXPECT_EQ(result.err, "Error: late\n");
}

TEST(OnProtobufLog, LevelsAndTheDroppedWarning)
{
    const auto result = run_function([] {
        nv::install_log(nv::make_console_log());
        nv::set_level(nv::log_info);
        on_protobuf_log(google::protobuf::LOGLEVEL_INFO, "f.cc", 1, "info");
        on_protobuf_log(google::protobuf::LOGLEVEL_WARNING, "f.cc", 2, "warning");
        on_protobuf_log(google::protobuf::LOGLEVEL_WARNING, "f.cc", 3,
                        "Reading dangerously large protocol message.  If the message turns out to be larger...");
        on_protobuf_log(google::protobuf::LOGLEVEL_ERROR, "f.cc", 4, "error");
        on_protobuf_log(google::protobuf::LOGLEVEL_FATAL, "f.cc", 5, "fatal");
        nv::set_level(nv::log_warning);
        on_protobuf_log(google::protobuf::LOGLEVEL_INFO, "f.cc", 6, "info hidden");
        on_protobuf_log(google::protobuf::LOGLEVEL_WARNING, "f.cc", 7, "warning shown");
        return 0;
    });
    ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
    EXPECT_EQ(result.err, "Info: info\nWarning: warning\nError: error\nError: fatal\nWarning: warning shown\n");
}

TEST(ExitWithStatus, ExitLineAndStatusText)
{
    struct row_t {
        int status;
        const char* err;
    };
    const row_t rows[] = {
        {0, "Notice: buffered\nNotice: Exit with status 0 (Success)\n"},
        {107, "Notice: buffered\nNotice: Exit with status 107 (Process terminated by signal)\n"},
        {102, "Notice: buffered\nNotice: Exit with status 102 (Invalid configuration)\n"},
        {14, "Notice: buffered\nNotice: Exit with status 14 (14)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        const auto result = run_function([&] {
            nv::log_message(nv::log_info, "dropped");
            nv::log_message(nv::log_notice, "buffered");
            exit_with_status(row.status);
            return 99;
        });
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, row.status);
        EXPECT_EQ(result.err, row.err);
    }
    EXPECT_EQ(exit_status_text(125), "Unexpected error");
    EXPECT_EQ(exit_status_text(200), "200");
}

TEST(ExitWithStatus, SilentAboveNotice)
{
    const auto result = run_function([] {
        nv::set_level(nv::log_warning);
        nv::install_log(nv::make_console_log());
        exit_with_status(107);
        return 99;
    });
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 107);
    EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace uc
