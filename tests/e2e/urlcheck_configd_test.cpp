// urlcheck-configd running the real daemon: the example configuration, SIGHUP
// reloads, restarts on status 0, Ctrl-C, and broken configuration files.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace nv::test {
namespace {

const std::string stderr_config = R"({ "log_level": "LOG_LEVEL_DEBUG", "actual_log": { "type": "STDERR" } })";

child_process_t start_configd(const std::string& config_path, std::vector<std::string> extra = {})
{
    process_options_t options;
    options.program = bin_path("urlcheck-configd");
    options.argv = {options.program, "--config", config_path};
    options.argv.insert(options.argv.end(), extra.begin(), extra.end());
    options.unset_env = {"COM_NORVA_MONITOR", "COM_NORVA_ADD_LOG_PIPE"};
    return child_process_t::start(options);
}

process_result_t run_configd(const std::string& config_path)
{
    process_options_t options;
    options.program = bin_path("urlcheck-configd");
    options.argv = {options.program, "--config", config_path};
    options.unset_env = {"COM_NORVA_MONITOR", "COM_NORVA_ADD_LOG_PIPE"};
    return run_process(options);
}

std::size_t occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST(UrlcheckConfigd, RunsTheExampleConfigurationUntilInterrupted)
{
    child_process_t configd = start_configd(std::string(NORVA_SOURCE_DIR) + "/examples/urlcheck.json");
    ASSERT_TRUE(configd.wait_for_err("urlcheck-configd: nvs_state EC_UNKNOWN_STATE")) << configd.err();
    ASSERT_TRUE(configd.wait_for_err("Debug: ConfigD <-- MY_INFO_NOTIFICATION")) << configd.err();
    configd.send_signal(SIGINT);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 107);
    EXPECT_NE(result.err.find("Notice: Exit with status 107 (Process terminated by signal)"), std::string::npos)
        << result.err;
}

TEST(UrlcheckConfigd, SighupReloadsTheFileAndAsksTheDaemon)
{
    temp_dir_t dir;
    const std::string path = dir / "urlcheck.json";
    write_file(path, stderr_config);
    child_process_t configd = start_configd(path);
    ASSERT_TRUE(configd.wait_for_err("configuration revision 1")) << configd.err();

    write_file(path, R"({ "log_level": "LOG_LEVEL_INFO", "actual_log": { "type": "STDERR" } })");
    configd.send_signal(SIGHUP);
    ASSERT_TRUE(configd.wait_for_err("reloaded " + path + " (revision 2)")) << configd.err();
    ASSERT_TRUE(configd.wait_for_err("Notice: SIGHUP received, config will be ordered from ConfigD")) << configd.err();

    configd.send_signal(SIGHUP);
    ASSERT_TRUE(configd.wait_for_err("reloaded " + path + " (unchanged)")) << configd.err();

    // A broken file on reload keeps the configuration in force.
    write_file(path, "{ \"log_level\": ");
    configd.send_signal(SIGHUP);
    ASSERT_TRUE(configd.wait_for_err("; keeping revision 2")) << configd.err();

    configd.send_signal(SIGTERM);
    const process_result_t result = configd.wait();
    EXPECT_EQ(result.exit_status, 107) << describe(result);
    EXPECT_EQ(occurrences(result.err, "urlcheck-configd: started "), 1u) << result.err;
    // The unchanged file is passed on too (the daemon reloads its databases);
    // the broken one is not.
    EXPECT_EQ(occurrences(result.err, "Notice: SIGHUP received"), 2u) << result.err;
}

TEST(UrlcheckConfigd, ResolvesWhatConfigdWouldResolve)
{
    // No user and an AUTO log: the daemon refuses both, the stand-in fills in
    // the caller's uid and standard error.
    temp_dir_t dir;
    const std::string path = dir / "urlcheck.json";
    write_file(path, R"({ "actual_log": { "type": "AUTO" } })");
    child_process_t configd = start_configd(path);
    ASSERT_TRUE(configd.wait_for_err("Debug: ConfigD <-- MY_INFO_NOTIFICATION")) << configd.err();
    configd.send_signal(SIGTERM);
    EXPECT_EQ(configd.wait().exit_status, 107);
}

TEST(UrlcheckConfigd, RestartsTheDaemonThatAsksForIt)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "changing users needs root";
    temp_dir_t dir;
    const std::string path = dir / "urlcheck.json";
    write_file(path, R"({ "actual_log": { "type": "STDERR" }, "run_as_user": { "name": "nobody" } })");
    child_process_t configd = start_configd(path);
    ASSERT_TRUE(configd.wait_for_err("configuration revision 1")) << configd.err();

    // Another user: only a fresh process can become it.
    write_file(path, R"({ "actual_log": { "type": "STDERR" }, "run_as_user": { "uid": 0 } })");
    configd.send_signal(SIGHUP);
    ASSERT_TRUE(configd.wait_for_err("Will restart for config changes to take effect")) << configd.err();
    ASSERT_TRUE(configd.wait_for_err("restarting the daemon")) << configd.err();
    ASSERT_TRUE(configd.wait_for_err("configuration revision 2")) << configd.err();

    configd.send_signal(SIGTERM);
    const process_result_t result = configd.wait();
    EXPECT_EQ(result.exit_status, 107) << describe(result);
    EXPECT_EQ(occurrences(result.err, "urlcheck-configd: started "), 2u) << result.err;
}

TEST(UrlcheckConfigd, GivesUpOnADaemonThatKeepsAskingForRestarts)
{
    // /bin/true ends with status 0 at once, like a daemon asking for a restart.
    temp_dir_t dir;
    const std::string path = dir / "urlcheck.json";
    write_file(path, stderr_config);
    process_options_t options;
    options.program = bin_path("urlcheck-configd");
    options.argv = {options.program, "--config", path, "--daemon", "/bin/true"};
    const process_result_t result = run_process(options);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_EQ(occurrences(result.err, "urlcheck-configd: started /bin/true"), 5u) << result.err;
    EXPECT_NE(result.err.find("not starting it again"), std::string::npos) << result.err;
}

TEST(UrlcheckConfigd, ExitsWithTheDaemonsStatus)
{
    temp_dir_t dir;
    const std::string path = dir / "urlcheck.json";
    write_file(path, R"({ "actual_log": { "type": "STDERR" }, "run_as_user": { "name": "no-such-user-of-norva" } })");
    const process_result_t result = run_configd(path);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 125) << result.err;
    EXPECT_EQ(occurrences(result.err, "urlcheck-configd: started "), 1u) << result.err;
}

TEST(UrlcheckConfigd, RejectsBrokenConfigurationFiles)
{
    struct row_t {
        const char* name;
        std::optional<std::string> content;  // nothing: the file does not exist
        const char* complaint;
    };
    const row_t rows[] = {
        {"missing file", std::nullopt, "cannot be read: No such file or directory"},
        {"not JSON", "{ \"log_level\": ", ""},
        {"unknown field", R"({ "nvs_directory": "/x" })", "nvs_directory"},
        {"wrong type", R"({ "nvs_dir": 5 })", "nvs_dir"},
        {"unknown enum value", R"({ "log_level": "LOUD" })", "log_level"},
        {"log without type", R"({ "actual_log": { "path": "/tmp/x.log" } })", "actual_log"},
        {"file log without path", R"({ "actual_log": { "type": "FILE" } })", "needs a \"path\""},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        temp_dir_t dir;
        const std::string path = dir / "urlcheck.json";
        if (row.content)
            write_file(path, *row.content);
        const process_result_t result = run_configd(path);
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_NE(result.exit_status, 0);
        EXPECT_EQ(occurrences(result.err, "\n"), 1u) << "one line: " << result.err;
        EXPECT_EQ(result.err.rfind("urlcheck-configd: " + path + ": ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(row.complaint), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("started"), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace nv::test
