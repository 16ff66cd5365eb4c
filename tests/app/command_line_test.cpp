// The command-line tool and the start-up conversion, through the real executable.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace uc {
namespace {

using nv::test::describe;
using nv::test::process_options_t;
using nv::test::run_process;

const std::string version_line = "norva-urlcheck 11.1.3.2205231640\n";
const std::string refusal = "Cannot run standalone. See norva-urlcheck(1) for details.\n";
const std::string bad_cast_line = "Error: bad lexical cast: source type value could not be interpreted as target\n";

process_options_t tool(std::vector<std::string> arguments)
{
    process_options_t options;
    options.program = nv::test::bin_path("norva-urlcheck");
    options.argv = {options.program};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.unset_env = {"COM_NORVA_MONITOR", "COM_NORVA_ADD_LOG_PIPE"};
    return options;
}

std::string joined(const std::vector<std::string>& arguments)
{
    std::string text;
    for (const auto& argument : arguments)
        text += "[" + argument + "]";
    return text;
}

TEST(CommandLine, VersionSpellings)
{
    const std::vector<std::vector<std::string>> rows = {
        {"--version"}, {"-v"}, {"--VERSION"}, {"--Version"}, {"--ver"}, {"--v"},
    };
    for (const auto& arguments : rows) {
        SCOPED_TRACE(joined(arguments));
        const auto result = run_process(tool(arguments));
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, version_line);
        EXPECT_EQ(result.err, "");
    }
}

TEST(CommandLine, HelpListsHelpAndVersionOnly)
{
    const std::vector<std::vector<std::string>> rows = {
        {"-h"}, {"--help"}, {"--HELP"}, {"--he"}, {"--help", "--version"}, {"--version", "--help"},
    };
    for (const auto& arguments : rows) {
        SCOPED_TRACE(joined(arguments));
        const auto result = run_process(tool(arguments));
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_TRUE(result.out.starts_with("Command line options:\n")) << result.out;
        for (const char* expected : {"-h [ --help ]", "print help message and exit", "-v [ --version ]",
                                     "print version and exit"}) {
            EXPECT_NE(result.out.find(expected), std::string::npos) << expected << " missing:\n" << result.out;
        }
        EXPECT_EQ(result.out.find("dump-app-info"), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("11.1.3"), std::string::npos) << "help also printed the version";
        EXPECT_TRUE(result.out.ends_with("\n\n")) << "the help is followed by a newline";
        EXPECT_EQ(result.err, "");
    }
}

TEST(CommandLine, NoArgumentsRefusesToRunStandalone)
{
    const auto result = run_process(tool({}));
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, refusal);
    EXPECT_EQ(result.err, "");
}

TEST(CommandLine, MalformedCommandLineEndsWith125AndOneErrorLine)
{
    const std::vector<std::vector<std::string>> rows = {
        {"--bogus"}, {"-x"}, {"--version=1"}, {"--help=yes"}, {"--version", "--bogus"}, {"---version"},
        // The library refuses a repeated switch.
        {"--version", "--version"},
    };
    for (const auto& arguments : rows) {
        SCOPED_TRACE(joined(arguments));
        const auto result = run_process(tool(arguments));
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, 125);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with("Error: ")) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(result.err.ends_with("\n"));
    }
}

TEST(StartUp, MalformedMonitorDescriptorEndsWith125)
{
    const char* rows[] = {"", " 5", "5x", "0x5", "2147483648", "-2147483649", "+", "5 ", "--5"};
    for (const char* value : rows) {
        SCOPED_TRACE(std::string("[") + value + "]");
        // The arguments are not even looked at.
        auto options = tool({"--version"});
        options.set_env["COM_NORVA_MONITOR"] = value;
        const auto result = run_process(options);
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, 125);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, bad_cast_line + "Notice: Exit with status 125 (Unexpected error)\n");
    }
}

}  // namespace
}  // namespace uc
