// A storm of SIGHUP from ConfigD (the daemon's parent) while clients keep
// checks in flight: every request is answered once and correctly, every
// signal that reached the daemon asked for the configuration once, every
// configuration was applied and reloaded, and the daemon stays up.
#include <signal.h>

#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/check_load.h"
#include "tests/support/configd_responder.h"
#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

using tag_t = UrlCheck2ConfigdMessage;

const char* const gamble_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";
const char* const chats_source = "name chats\ndate 2026-01-15 12:00:00\nurl chat.example\n";

constexpr int storm_signals = 100;
constexpr auto storm_period = 1000ms;

int hangup_notices(running_daemon_t& daemon)
{
    // Reads the log until nothing more comes for a moment.
    for (std::size_t size = std::string::npos; size != daemon.process().err().size();) {
        size = daemon.process().err().size();
        daemon.process().pump(300ms);
    }
    return daemon.log_count("Notice: SIGHUP received, config will be ordered from ConfigD\n");
}

TEST(FaultSignals, HundredHangupsWithinASecondWhileClientsCheck)
{
    running_daemon_t daemon(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}, {"chats.nvs", chats_source}});
    // Info: a Debug line per check would outrun the test's reading of the log.
    daemon.config.set_log_level(LOG_LEVEL_INFO);
    ASSERT_TRUE(daemon.start());

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
    // The clients keep going through the reloads the storm causes: a few more
    // rounds each than they had done on average when it ended.
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

    // Signals that arrive while one is still pending in the kernel merge into
    // one; each that reached the daemon was logged once and asked once, and
    // ConfigD's answer to each was applied and reloaded (wait_settled).
    const int requests = configd.count(tag_t::GET_CONFIG_REQUEST);
    EXPECT_GE(requests, 1);
    EXPECT_LE(requests, storm_signals);
    EXPECT_EQ(hangup_notices(daemon), requests);
    EXPECT_EQ(configd.configs_sent(), requests);
    for (const auto& info : configd.infos())
        EXPECT_EQ(info.nvs_state, EC_OK) << "revision " << info.revision;
    std::printf("%d SIGHUP sent, %d configuration requests, %llu checks answered\n", storm_signals, requests,
                static_cast<unsigned long long>(summary.answered));

    // After the storm one signal is one request, and a fresh client is answered.
    daemon.process().send_signal(SIGHUP);
    ASSERT_TRUE(configd.wait_until([&] { return configd.configs_sent() == requests + 1; }, 20s));
    ASSERT_TRUE(configd.wait_settled());
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(configd.count(tag_t::GET_CONFIG_REQUEST), requests + 1);
    configd.stop();
    const unique_fd_t client = daemon.connect();
    const auto result = ask(client.get(), 1, "http://casino.example/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error(), EC_OK);
    EXPECT_EQ(std::vector<int>(result->categories().begin(), result->categories().end()), std::vector<int>{UC_GAMBLING});

    ASSERT_TRUE(daemon.process().running());
    daemon.process().send_signal(SIGTERM);
    const process_result_t end = daemon.configd().wait();
    ASSERT_TRUE(end.exited) << describe(end);
    EXPECT_EQ(end.exit_status, 107);
}

}  // namespace
}  // namespace nv::test
