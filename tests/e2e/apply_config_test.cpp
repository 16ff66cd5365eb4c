// Configurations the daemon must refuse, and the switch to the configured user
// with its consequences (log file ownership, restart on another user).
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <grp.h>

#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/support/test_configd.h"

namespace nv::test {
namespace {

using tag_t = UrlCheck2ConfigdMessage;

TEST(ApplyConfig, UnknownUserEndsWithStatus125)
{
    test_configd_t configd;
    UrlCheckConfig config = test_configd_t::basic_config();
    config.mutable_run_as_user()->Clear();
    config.mutable_run_as_user()->set_name("no-such-user-of-norva");
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    configd.send_config(config, 1);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 125) << result.err;
    EXPECT_NE(result.err.find("Error: getpwnam(\"no-such-user-of-norva\"): "), std::string::npos) << result.err;
}

TEST(ApplyConfig, ConfigurationWithoutUserIsRefused)
{
    // An absent user is looked up by the empty name, which no account has.
    test_configd_t configd;
    UrlCheckConfig config = test_configd_t::basic_config();
    config.clear_run_as_user();
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    configd.send_config(config, 1);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 125) << result.err;
    EXPECT_NE(result.err.find("Error: getpwnam(\"\"): "), std::string::npos) << result.err;
}

TEST(ApplyConfig, UnresolvedLogTypeIsRefusedAsBadConfig)
{
    test_configd_t configd;
    UrlCheckConfig config = test_configd_t::basic_config();
    config.mutable_actual_log()->set_type(Log::AUTO);
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    configd.send_config(config, 1);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 102) << result.err;
    EXPECT_NE(result.err.find("Error: Cannot make a log of type AUTO: ConfigD must send a resolved log description\n"),
              std::string::npos)
        << result.err;
}

TEST(ApplyConfig, LogFileThatCannotBeCreatedIsBadConfig)
{
    test_configd_t configd;
    UrlCheckConfig config = test_configd_t::basic_config();
    config.mutable_actual_log()->set_type(Log::FILE);
    config.mutable_actual_log()->set_path("/nonexistent-norva-dir/daemon.log");
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    configd.send_config(config, 1);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 102) << result.err;
    EXPECT_NE(result.err.find("Cannot create log"), std::string::npos) << result.err;
}

TEST(ApplyConfig, LevelFiltersBufferedMessages)
{
    // Debug lines logged before the configuration are dropped at Notice; the
    // later Notice lines are written.
    test_configd_t configd;
    UrlCheckConfig config = test_configd_t::basic_config();
    config.set_log_level(LOG_LEVEL_NOTICE);
    ASSERT_TRUE(configd.configure(config)) << configd.daemon().err();
    configd.daemon().send_signal(SIGTERM);
    const process_result_t result = configd.wait();
    EXPECT_EQ(result.exit_status, 107);
    EXPECT_EQ(result.err.find("Debug:"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Notice: Termination signal received, exiting..."), std::string::npos) << result.err;
}

struct account_t {
    uid_t uid;
    gid_t gid;
};

std::optional<account_t> nobody()
{
    const passwd* entry = ::getpwnam("nobody");
    if (entry == nullptr)
        return std::nullopt;
    return account_t{entry->pw_uid, entry->pw_gid};
}

class PrivilegeDrop : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::getuid() != 0)
            GTEST_SKIP() << "dropping privileges needs root";
        account_ = nobody();
        ASSERT_TRUE(account_.has_value()) << "no user nobody";
    }

    // Runs as nobody, logging to a file of the temporary directory.
    UrlCheckConfig as_nobody() const
    {
        UrlCheckConfig config = test_configd_t::basic_config();
        config.mutable_run_as_user()->Clear();
        config.mutable_run_as_user()->set_name("nobody");
        config.mutable_actual_log()->set_type(Log::FILE);
        config.mutable_actual_log()->set_path(log_path_);
        return config;
    }

    std::optional<account_t> account_;
    temp_dir_t dir_;
    std::string log_path_ = dir_ / "daemon.log";
};

TEST_F(PrivilegeDrop, LogFileIsCreatedPrivateAndOwnedByTheTargetUser)
{
    test_configd_t configd;
    ASSERT_TRUE(configd.configure(as_nobody())) << configd.daemon().err();
    struct stat status {};
    ASSERT_EQ(::stat(log_path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, account_->uid);
    EXPECT_EQ(status.st_gid, account_->gid);
    const std::string expected = "Run as user " + std::to_string(account_->uid) + ":" + std::to_string(account_->gid);
    EXPECT_NE(read_file(log_path_).find(expected), std::string::npos) << read_file(log_path_);
}

TEST_F(PrivilegeDrop, ExistingLogFileIsLeftAsItIs)
{
    write_file(log_path_, "");
    ASSERT_EQ(::chmod(log_path_.c_str(), 0644), 0);
    // Writable by nobody through the descriptor opened before the drop.
    test_configd_t configd;
    ASSERT_TRUE(configd.configure(as_nobody())) << configd.daemon().err();
    struct stat status {};
    ASSERT_EQ(::stat(log_path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
}

TEST_F(PrivilegeDrop, SameUserIsReappliedAndAnotherUserRestarts)
{
    test_configd_t configd;
    ASSERT_TRUE(configd.configure(as_nobody(), 1)) << configd.daemon().err();

    configd.daemon().send_signal(SIGHUP);
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    configd.send_config(as_nobody(), 2);
    const std::optional<UrlCheck2ConfigdMessage> info = configd.next_info(2);
    ASSERT_TRUE(info.has_value()) << read_file(log_path_);
    EXPECT_EQ(info->config_revision(), 2u);

    configd.daemon().send_signal(SIGHUP);
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    UrlCheckConfig as_root = as_nobody();
    as_root.mutable_run_as_user()->Clear();
    as_root.mutable_run_as_user()->set_uid(0);
    configd.send_config(as_root, 3);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0);
    const std::string log = read_file(log_path_);
    EXPECT_NE(log.find("Notice: Will restart for config changes to take effect\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Notice: Exit with status 0 (Success)\n"), std::string::npos) << log;
}

// The supplementary groups of a running process, from /proc.
std::set<gid_t> groups_of(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::set<gid_t> groups;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Groups:", 0) != 0)
            continue;
        std::istringstream numbers(line.substr(7));
        for (gid_t gid; numbers >> gid;)
            groups.insert(gid);
    }
    return groups;
}

TEST_F(PrivilegeDrop, RootsSupplementaryGroupsAreNotKept)
{
    // Start the daemon with supplementary groups as root has them on many
    // systems (root, adm); the test process gets its own groups back at once.
    const gid_t root_groups[] = {0, 4};
    ASSERT_EQ(::setgroups(2, root_groups), 0);
    std::optional<test_configd_t> configd;
    try {
        configd.emplace();
    } catch (...) {
        ::setgroups(0, nullptr);
        throw;
    }
    ASSERT_EQ(::setgroups(0, nullptr), 0);
    ASSERT_EQ(groups_of(configd->daemon().pid()), (std::set<gid_t>{0, 4}));

    ASSERT_TRUE(configd->configure(as_nobody())) << read_file(log_path_);
    const std::set<gid_t> groups = groups_of(configd->daemon().pid());
    EXPECT_EQ(groups.count(0), 0u);
    EXPECT_EQ(groups.count(4), 0u);
}

TEST_F(PrivilegeDrop, LogFileDeniedAfterTheDropRestarts)
{
    // A new log file in a directory only root may write: after the drop the
    // daemon cannot open it, and only a fresh process (running as root) can.
    const std::string locked_dir = dir_ / "locked";
    ASSERT_EQ(::mkdir(locked_dir.c_str(), 0700), 0);
    test_configd_t configd;
    ASSERT_TRUE(configd.configure(as_nobody(), 1)) << configd.daemon().err();

    configd.daemon().send_signal(SIGHUP);
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    UrlCheckConfig denied = as_nobody();
    denied.mutable_actual_log()->set_path(locked_dir + "/daemon.log");
    configd.send_config(denied, 2);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_NE(read_file(log_path_).find("Will restart for config changes to take effect"), std::string::npos)
        << read_file(log_path_);
}

}  // namespace
}  // namespace nv::test
