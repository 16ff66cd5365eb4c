#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/exception.h"

namespace nv {
namespace {

std::string text_of(const std::exception& e) { return log_text(e); }

TEST(LogText, Table)
{
    struct row_t {
        const char* what;
        const char* expected;
    };
    const row_t rows[] = {
        {"boost::filesystem::status: Permission denied: \"/x\"", "status: Permission denied: \"/x\""},
        {"boost::filesystem::directory_iterator::construct: No such file or directory: \"/x\"",
         "opendir: No such file or directory: \"/x\""},
        // Only the iterator's constructor is renamed.
        {"boost::filesystem::directory_iterator::increment: Bad file descriptor",
         "increment: Bad file descriptor"},
        {"boost::filesystem::directory_iterator::", ""},
        {"boost::thread_resource_error: x", "thread_resource_error: x"},
        {"boost::", ""},
        {"boost:: x", " x"},
        // Not anchored elsewhere than at the start.
        {"open: boost::filesystem::x", "open: boost::filesystem::x"},
        {"Boost::x: y", "Boost::x: y"},
        {"plain text", "plain text"},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(text_of(std::runtime_error(row.what)), row.expected);
    }
}

TEST(LogText, BadAllocByExactType)
{
    EXPECT_EQ(text_of(std::bad_alloc()), "Not enough memory");
    const std::bad_array_new_length derived;
    EXPECT_EQ(text_of(derived), derived.what());
    EXPECT_EQ(exit_code_of(derived), EC_NO_MEMORY);
    EXPECT_EQ(text_of(std::logic_error("broken")), "broken");
}

TEST(LogText, FailedDirectoryListing)
{
    const auto missing = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path();
    try {
        boost::filesystem::directory_iterator it(missing);
        FAIL() << "listing a missing directory succeeded";
    } catch (const boost::filesystem::filesystem_error& e) {
        const std::string text = log_text(e);
        EXPECT_TRUE(text.starts_with("opendir: No such file or directory")) << text;
        EXPECT_NE(text.find(missing.string()), std::string::npos) << text;
        EXPECT_EQ(exit_code_of(e), EC_NO_SUCH_ENTRY);
    }
}

TEST(LogText, RewriteIsPerThread)
{
    const std::runtime_error first("boost::filesystem::directory_iterator::construct: first");
    const std::runtime_error second("boost::filesystem::directory_iterator::construct: second");
    const char* mine = log_text(first);
    std::string other;
    std::thread([&] { other = log_text(second); }).join();
    EXPECT_STREQ(mine, "opendir: first");
    EXPECT_EQ(other, "opendir: second");
}

}  // namespace
}  // namespace nv
