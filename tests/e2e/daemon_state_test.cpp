// What the daemon tells ConfigD and how it ends: database state after every
// load, connection statistics, no databases, SIGTERM in the middle of work,
// and no descriptor left behind by many clients.
#include <signal.h>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "tests/support/cloudd_stand_in.h"
#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

using tag_t = UrlCheck2ConfigdMessage;

const char* const gamble_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";

std::size_t open_descriptors(pid_t pid)
{
    std::size_t count = 0;
    for (const auto& entry :
         boost::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        count += entry.path().filename() != "." ? 1 : 0;
    return count;
}

TEST(DaemonState, WithoutDatabasesEveryCheckAnswersNoNvsBases)
{
    running_daemon_t daemon;
    ASSERT_TRUE(daemon.start());
    const unique_fd_t client = daemon.connect();
    const auto result = ask(client.get(), 1, "http://casino.example/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error(), EC_NO_NVS_BASES);
    EXPECT_TRUE(result->categories().empty());
    EXPECT_TRUE(daemon.wait_for_log(
        "Debug: Check URL: http://casino.example/ - Error: No web resource databases (nvs)\n"));
}

TEST(DaemonState, NvsStateFollowsEveryReloadAndConfigDIsToldEachTime)
{
    running_daemon_t daemon(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}});
    ASSERT_TRUE(daemon.configd().next(tag_t::GET_CONFIG_REQUEST));
    daemon.configd().send_config(daemon.config, 1);
    auto info = daemon.configd().next(tag_t::MY_INFO_NOTIFICATION);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info().nvs_state(), EC_UNKNOWN_STATE);
    info = daemon.configd().next(tag_t::MY_INFO_NOTIFICATION);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info().nvs_state(), EC_OK);
    EXPECT_EQ(info->config_revision(), 1u);

    // The only database goes; SIGHUP asks for the configuration again, and
    // the reload it causes finds nothing.
    boost::filesystem::remove(daemon.config.nvs_dir() + "/gamble.nvs");
    daemon.process().send_signal(SIGHUP);
    ASSERT_TRUE(daemon.configd().next(tag_t::GET_CONFIG_REQUEST));
    daemon.configd().send_config(daemon.config, 2);
    info = daemon.configd().next(tag_t::MY_INFO_NOTIFICATION);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->config_revision(), 2u);
    // Kept while the reload runs.
    EXPECT_EQ(info->info().nvs_state(), EC_OK);
    info = daemon.configd().next(tag_t::MY_INFO_NOTIFICATION);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info().nvs_state(), EC_NO_NVS_BASES);

    // Back again.
    build_database(gamble_source, daemon.config.nvs_dir() + "/gamble.nvs");
    daemon.configd().send_config(daemon.config, 3);
    ASSERT_TRUE(daemon.configd().next(tag_t::MY_INFO_NOTIFICATION));
    info = daemon.configd().next(tag_t::MY_INFO_NOTIFICATION);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info().nvs_state(), EC_OK);
    const unique_fd_t client = daemon.connect();
    const auto result = ask(client.get(), 1, "http://casino.example/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error(), EC_OK);
    ASSERT_EQ(result->categories_size(), 1);
    EXPECT_EQ(result->categories(0), UC_GAMBLING);
}

TEST(DaemonState, StatisticsCountClientsInAndOut)
{
    running_daemon_t daemon;
    ASSERT_TRUE(daemon.start());
    // Connections made within one period: wait for a period to begin, then
    // three clients come and one leaves. On a slow machine the events may
    // straddle two periods, so the periods are summed until all are seen.
    ASSERT_TRUE(daemon.configd().next(tag_t::MY_STAT_NOTIFICATION));
    std::vector<unique_fd_t> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(daemon.connect());
        ASSERT_TRUE(ask(clients.back().get(), 1, "http://a.example/"));
    }
    clients.erase(clients.begin());
    ASSERT_TRUE(daemon.wait_for_log("Client 0x1: Destroyed"));

    std::uint64_t in = 0;
    std::uint64_t out = 0;
    std::uint64_t open_now = 0;
    for (int periods = 0; periods < 5 && (in < 3 || out < 1); ++periods) {
        const auto stat = daemon.configd().next(tag_t::MY_STAT_NOTIFICATION);
        ASSERT_TRUE(stat);
        const auto& connections = stat->stat().connections();
        EXPECT_EQ(connections.base(), in - out);
        in += connections.in();
        out += connections.out();
        open_now = connections.base() + connections.in() - connections.out();
    }
    EXPECT_EQ(in, 3u);
    EXPECT_EQ(out, 1u);
    EXPECT_EQ(open_now, 2u);
    const auto next = daemon.configd().next(tag_t::MY_STAT_NOTIFICATION);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->stat().connections().base(), 2u);
}

TEST(DaemonState, SigtermWithClientsAndChecksInFlightEndsWith107)
{
    running_daemon_t daemon(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}});
    daemon.config.set_use_cloud(true);
    cloudd_stand_in_t cloudd(daemon.dir() / "cloudd.sock");
    cloudd.set_default_rule({cloudd_stand_in_t::action_t::never, {}});
    ASSERT_TRUE(daemon.start());
    std::vector<unique_fd_t> clients;
    for (std::uint32_t i = 0; i < 4; ++i) {
        clients.push_back(daemon.connect());
        for (std::uint32_t serial = 0; serial < 50; ++serial)
            write_message(clients.back().get(), url_request(serial, "http://casino.example/" + std::to_string(serial)));
    }
    ASSERT_TRUE(daemon.configd().next(tag_t::GET_CLOUDD_REQUEST));
    Configd2UrlCheckMessage answer;
    answer.set_tag(Configd2UrlCheckMessage::GET_CLOUDD_RESPONSE);
    answer.set_socket_path(cloudd.path());
    daemon.configd().send(answer);
    ASSERT_TRUE(cloudd.wait_for_requests(100));

    daemon.process().send_signal(SIGTERM);
    const process_result_t result = daemon.configd().wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 107) << result.err;
    EXPECT_NE(result.err.find("Exit with status 107"), std::string::npos) << result.err;
    EXPECT_FALSE(boost::filesystem::exists(daemon.socket_path()));
}

TEST(DaemonState, NoDescriptorLeaksAfterTenThousandConnections)
{
    running_daemon_t daemon;
    // Quiet: the log of 10,000 sessions would only slow the test down.
    daemon.config.set_log_level(LOG_LEVEL_WARNING);
    ASSERT_TRUE(daemon.start());
    const pid_t pid = daemon.process().pid();
    {
        // One request first, so that everything a session may open has been.
        const unique_fd_t warm = daemon.connect();
        ASSERT_TRUE(ask(warm.get(), 1, "http://a.example/"));
    }
    const unique_fd_t probe = daemon.connect();
    ASSERT_TRUE(ask(probe.get(), 1, "http://a.example/"));
    const std::size_t before = open_descriptors(pid);

    for (int round = 0; round < 100; ++round) {
        std::vector<unique_fd_t> clients;
        for (int i = 0; i < 100; ++i)
            clients.push_back(daemon.connect());
        // Half ask before leaving, half just leave.
        for (int i = 0; i < 100; i += 2)
            write_message(clients[static_cast<std::size_t>(i)].get(), url_request(1, "http://b.example/"));
        for (int i = 0; i < 100; i += 2)
            ASSERT_TRUE(read_answer(clients[static_cast<std::size_t>(i)].get()));
    }
    // The last sessions are gone once the daemon has answered a later request
    // and their closes have been seen; give it a moment on a slow machine.
    std::size_t after = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        ASSERT_TRUE(ask(probe.get(), 2, "http://c.example/"));
        after = open_descriptors(pid);
        if (after <= before)
            break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(after, before);
    EXPECT_TRUE(daemon.process().running());
}

}  // namespace
}  // namespace nv::test
