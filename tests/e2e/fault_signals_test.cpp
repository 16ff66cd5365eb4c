// A storm of SIGHUP from ConfigD (the daemon's parent) while clients keep
// checks in flight: every request is answered once and correctly, every
// signal that reached the daemon asked for the configuration once, every
// configuration was applied (its log rebuilt) and reloaded, no descriptor is
// left behind, and the daemon stays up.
#include <signal.h>

#include <cstdio>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "tests/support/check_load.h"
#include "tests/support/configd_responder.h"
#include "tests/support/running_daemon.h"
#include "tests/support/time_scale.h"

namespace nv::test {
namespace {

using tag_t = UrlCheck2ConfigdMessage;

const char* const gamble_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";
const char* const chats_source = "name chats\ndate 2026-01-15 12:00:00\nurl chat.example\n";
const char* const hangup_notice = "Notice: SIGHUP received, config will be ordered from ConfigD\n";

constexpr int storm_signals = 100;
constexpr auto storm_period = 1000ms;

std::size_t open_descriptors(pid_t pid)
{
    std::size_t count = 0;
    for (const auto& entry : boost::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        count += entry.path().filename() != "." ? 1 : 0;
    return count;
}

// Reads the daemon's standard error until nothing more comes for a moment.
void drain_log(running_daemon_t& daemon)
{
    for (std::size_t size = std::string::npos; size != daemon.process().err().size();) {
        size = daemon.process().err().size();
        daemon.process().pump(300ms);
    }
}

int occurrences(const std::string& text, const std::string& what)
{
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

TEST(FaultSignals, HundredHangupsWithinASecondWhileClientsCheck)
{
    // Every configuration rebuilds the log: a file log is opened again each time.
    for (const Log::LogType log_type : {Log::STDERR, Log::FILE}) {
        SCOPED_TRACE(Log::LogType_Name(log_type));
        running_daemon_t daemon(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}, {"chats.nvs", chats_source}});
        // Info: a Debug line per check would outrun the test's reading of the log.
        daemon.config.set_log_level(LOG_LEVEL_INFO);
        const std::string log_path = daemon.dir() / "daemon.log";
        daemon.config.mutable_actual_log()->set_type(log_type);
        if (log_type == Log::FILE)
            daemon.config.mutable_actual_log()->set_path(log_path);
        ASSERT_TRUE(daemon.start());
        const std::size_t descriptors_before = open_descriptors(daemon.process().pid());
        const auto log_text = [&] {
            drain_log(daemon);
            return log_type == Log::FILE ? read_file(log_path) : daemon.process().err();
        };

        configd_responder_t configd(daemon.configd(), daemon.config);
        check_load_t load({.socket_path = daemon.socket_path(),
                           .urls = {
                               {"http://casino.example/", {{UC_GAMBLING}}},
                               {"http://chat.example/room", {{UC_CHATS}}},
                               {"http://none.example/", {{}}},
                           },
                           .clients = 4,
                           .depth = 32,
                           .pause = 5ms});
        ASSERT_TRUE(load.wait_for_rounds(1));
        const std::uint64_t answered_before = load.summary().answered;

        // Real signals from the parent, about ten milliseconds apart.
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < storm_signals; ++i) {
            std::this_thread::sleep_until(start + storm_period * i / storm_signals);
            ASSERT_EQ(::kill(daemon.process().pid(), SIGHUP), 0);
            // Reads the log as it comes, so that the daemon never waits on it.
            daemon.process().pump(0ms);
        }
        // The clients keep going through the reloads the storm causes: a few
        // more rounds each than they had done on average when it ended.
        ASSERT_TRUE(load.wait_for_rounds(load.summary().rounds / 4 + 3));
        for (int pass = 0; pass < 2; ++pass) {
            ASSERT_TRUE(configd.wait_settled()) << configd.failure() << "; configurations sent " << configd.configs_sent()
                                                << ", notifications " << configd.infos().size();
            std::this_thread::sleep_for(300ms);
        }
        load.stop();

        const check_load_t::summary_t summary = load.summary();
        for (const std::string& fault : summary.faults)
            ADD_FAILURE() << fault;
        EXPECT_EQ(summary.fault_count, 0u);
        EXPECT_EQ(summary.answered, summary.sent);
        EXPECT_GT(summary.answered, answered_before);

        // Signals that arrive while one is still pending in the kernel merge
        // into one; each that reached the daemon was logged once and asked
        // once, and ConfigD's answer to each was applied and reloaded
        // (wait_settled).
        const int requests = configd.count(tag_t::GET_CONFIG_REQUEST);
        EXPECT_GE(requests, 1);
        EXPECT_LE(requests, storm_signals);
        EXPECT_EQ(occurrences(log_text(), hangup_notice), requests);
        EXPECT_EQ(configd.configs_sent(), requests);
        for (const auto& info : configd.infos())
            EXPECT_EQ(info.nvs_state, EC_OK) << "revision " << info.revision;
        std::printf("%s log: %d SIGHUP sent, %d configuration requests, %llu checks answered\n",
                    Log::LogType_Name(log_type).c_str(), storm_signals, requests,
                    static_cast<unsigned long long>(summary.answered));

        // After the storm one signal is one request.
        daemon.process().send_signal(SIGHUP);
        ASSERT_TRUE(configd.wait_until([&] { return configd.configs_sent() == requests + 1; }, 20s));
        ASSERT_TRUE(configd.wait_settled());
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(configd.count(tag_t::GET_CONFIG_REQUEST), requests + 1);
        EXPECT_EQ(occurrences(log_text(), hangup_notice), requests + 1);
        configd.stop();

        // The clients' sessions end once the daemon has seen them go.
        std::size_t descriptors_after = 0;
        for (int attempt = 0; attempt < 50; ++attempt) {
            descriptors_after = open_descriptors(daemon.process().pid());
            if (descriptors_after <= descriptors_before)
                break;
            std::this_thread::sleep_for(scaled(100ms));
        }
        EXPECT_EQ(descriptors_after, descriptors_before);

        const unique_fd_t client = daemon.connect();
        const auto result = ask(client.get(), 1, "http://casino.example/");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->error(), EC_OK);
        EXPECT_EQ(std::vector<int>(result->categories().begin(), result->categories().end()),
                  std::vector<int>{UC_GAMBLING});

        ASSERT_TRUE(daemon.process().running());
        daemon.process().send_signal(SIGTERM);
        const process_result_t end = daemon.configd().wait();
        ASSERT_TRUE(end.exited) << describe(end);
        EXPECT_EQ(end.exit_status, 107);
    }
}

}  // namespace
}  // namespace nv::test
