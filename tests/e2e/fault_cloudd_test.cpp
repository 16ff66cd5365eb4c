// CloudD misbehaving while clients keep checks in flight with the cloud on:
// half an answer then the end of the connection, frame lengths the link
// refuses, bytes that do not parse, an answer to a serial never sent or sent
// twice, error results, answers slower than the idle period, no accepting at
// all. Every request is answered exactly once: by the cloud when its answer
// is sound, else from the databases; the daemon connects again after each
// failure and stays up.
#include <signal.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "tests/support/check_load.h"
#include "tests/support/cloudd_stand_in.h"
#include "tests/support/configd_responder.h"
#include "tests/support/running_daemon.h"
#include "tests/support/stalled_listener.h"
#include "tests/support/time_scale.h"

namespace nv::test {
namespace {

using action_t = cloudd_stand_in_t::action_t;

// The databases say Gambling, CloudD says Chats: every answer tells where it came from.
const char* const gamble_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";
const std::vector<UrlCategory> from_databases{UC_GAMBLING};
const std::vector<UrlCategory> from_cloud{UC_CHATS};

class FaultCloudD : public ::testing::Test {
protected:
    FaultCloudD() : daemon(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}}), cloudd(daemon.dir() / "cloudd.sock")
    {
        daemon.config.set_use_cloud(true);
        // Info: a Debug line per check would outrun the test's reading of the log.
        daemon.config.set_log_level(LOG_LEVEL_INFO);
    }

    void SetUp() override
    {
        ASSERT_TRUE(daemon.start());
        configd.emplace(daemon.configd(), daemon.config);
        configd->set_cloudd_path(cloudd.path());
    }

    // Runs clients until each has done `rounds` rounds, reading the daemon's
    // log meanwhile so that it never waits on it; returns their summary.
    check_load_t::summary_t run_load(std::vector<expected_url_t> urls, std::uint64_t rounds, int clients = 3, int depth = 16,
                                     std::chrono::milliseconds answer_limit = 60s)
    {
        check_load_t load({.socket_path = daemon.socket_path(),
                           .urls = std::move(urls),
                           .clients = clients,
                           .depth = depth,
                           .answer_limit = answer_limit,
                           .max_rounds = rounds});
        const auto limit = std::chrono::steady_clock::now() + scaled(120s);
        while (!load.wait_for_rounds(rounds, 0ms) && std::chrono::steady_clock::now() < limit)
            daemon.process().pump(20ms);
        load.stop();
        return load.summary();
    }

    void expect_no_faults(const check_load_t::summary_t& summary)
    {
        for (const std::string& fault : summary.faults)
            ADD_FAILURE() << fault;
        EXPECT_EQ(summary.fault_count, 0u);
        EXPECT_EQ(summary.answered, summary.sent);
        EXPECT_GT(summary.sent, 0u);
    }

    // Reads the log until nothing more comes for a moment.
    void drain_log()
    {
        for (std::size_t size = std::string::npos; size != daemon.process().err().size();) {
            size = daemon.process().err().size();
            daemon.process().pump(300ms);
        }
    }

    void expect_still_up()
    {
        const unique_fd_t client = daemon.connect();
        const auto result = ask(client.get(), 1, "http://www.casino.example/last");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->error(), EC_OK);
        configd->stop();
        ASSERT_TRUE(daemon.process().running());
        daemon.process().send_signal(SIGTERM);
        const process_result_t end = daemon.configd().wait();
        ASSERT_TRUE(end.exited) << describe(end);
        EXPECT_EQ(end.exit_status, 107);
    }

    running_daemon_t daemon;
    cloudd_stand_in_t cloudd;
    std::optional<configd_responder_t> configd;
};

TEST_F(FaultCloudD, EveryMisbehaviourIsAnsweredOnceFromTheCloudOrTheDatabases)
{
    struct row_t {
        const char* fault;
        cloudd_stand_in_t::rule_t rule;
        // The verdict every request gets.
        std::vector<UrlCategory> verdict;
        // The Warning the daemon logs when it drops the connection; none: it keeps it.
        const char* warning;
    };
    const std::vector<row_t> rows{
        // "Link disconnected", or "Connection reset by peer" when requests
        // were still unread on CloudD's side as it closed.
        {"half an answer, then the end of the connection", {action_t::half_then_close, from_cloud}, from_databases,
         "Warning: CloudD 0x"},
        {"frame length 0", {action_t::bad_length, from_cloud, EC_OK, 0ms, 0}, from_databases,
         ": Invalid IPC message size\n"},
        {"frame length above 64 MiB", {action_t::bad_length, from_cloud, EC_OK, 0ms, 0x4000001}, from_databases,
         ": Invalid IPC message size\n"},
        {"bytes that do not parse", {action_t::garbage, from_cloud}, from_databases, "Invalid IPC message format"},
        {"an answer to a serial never sent, then the right one", {action_t::unknown_serial, from_cloud}, from_cloud,
         nullptr},
        {"the same answer twice", {action_t::twice, from_cloud}, from_cloud, nullptr},
        {"an error result", {action_t::answer, from_cloud, EC_UNEXPECTED_ERROR}, from_databases, nullptr},
        {"every answer 300 ms late", {action_t::answer, from_cloud, EC_OK, 300ms}, from_cloud, nullptr},
    };
    const std::vector<std::string> urls{"http://casino.example/", "http://www.casino.example/page?q=1"};
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.fault);
        cloudd.set_default_rule(row.rule);
        const std::size_t connections_before = cloudd.connections().size();
        const int warnings_before = row.warning ? daemon.log_count(row.warning) : daemon.log_count("Warning: CloudD 0x");
        std::vector<expected_url_t> expected;
        for (const std::string& url : urls)
            expected.push_back({url, {row.verdict}});
        const check_load_t::summary_t summary = run_load(expected, 3);
        expect_no_faults(summary);
        drain_log();
        const std::size_t connections = cloudd.connections().size() - connections_before;
        if (row.warning) {
            // Each failure drops the connection; the next check connects again.
            EXPECT_GE(connections, 2u);
            EXPECT_GT(daemon.log_count(row.warning), warnings_before);
        } else {
            EXPECT_LE(connections, 1u);
            EXPECT_EQ(daemon.log_count("Warning: CloudD 0x"), warnings_before);
        }
        std::printf("%s: %llu checks answered; %zu connections to CloudD\n", row.fault,
                    static_cast<unsigned long long>(summary.answered), connections);
    }
    expect_still_up();
}

TEST_F(FaultCloudD, AnswersSlowerThanTheIdlePeriodStillComeFromTheCloud)
{
    // Nothing times a request out; the idle watchdog (10 to 11 s) must not
    // close a connection that has checks pending. One answer comes just
    // under the idle period, one beyond it; quick ones come meanwhile.
    cloudd.set_default_rule({action_t::answer, from_cloud});
    cloudd.set_rule("http://under.example/", {action_t::answer, from_cloud, EC_OK, 9500ms});
    cloudd.set_rule("http://beyond.example/", {action_t::answer, from_cloud, EC_OK, 12000ms});
    const unique_fd_t slow = daemon.connect();
    write_message(slow.get(), url_request(1, "http://under.example/"));
    write_message(slow.get(), url_request(2, "http://beyond.example/"));
    ASSERT_TRUE(cloudd.wait_for_requests(2));

    // Quick checks answered by the cloud while the slow ones wait.
    expect_no_faults(run_load({{"http://quick.example/", {from_cloud}}}, 2, 2, 8));

    std::map<std::uint32_t, std::vector<UrlCategory>> answers;
    for (int i = 0; i < 2; ++i) {
        const auto answer = read_answer(slow.get(), 40s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->url_result().error(), EC_OK);
        EXPECT_EQ(answers.count(answer->serial()), 0u) << "serial " << answer->serial() << " answered twice";
        for (const int category : answer->url_result().categories())
            answers[answer->serial()].push_back(static_cast<UrlCategory>(category));
    }
    EXPECT_EQ(answers[1], from_cloud);
    EXPECT_EQ(answers[2], from_cloud);
    EXPECT_FALSE(read_answer(slow.get(), 500ms)) << "a third answer";
    // One connection all along, never dropped.
    ASSERT_EQ(cloudd.connections().size(), 1u);
    EXPECT_FALSE(cloudd.connections()[0].closed);
    drain_log();
    EXPECT_EQ(daemon.log_count("CloudD 0x"), 0);
    expect_still_up();
}

TEST_F(FaultCloudD, CloudDThatStoppedAcceptingDoesNotStopTheDaemon)
{
    // CloudD still listening but no longer accepting, its backlog full: a
    // daemon that waited for the connection would stop answering every
    // client, sending statistics and reacting to SIGTERM.
    const stalled_listener_t stalled(daemon.dir() / "stalled.sock");
    configd->set_cloudd_path(stalled.path());
    const int statistics_before = configd->count(UrlCheck2ConfigdMessage::MY_STAT_NOTIFICATION);
    expect_no_faults(run_load({{"http://casino.example/", {from_databases}}}, 3, 3, 16, 20s));
    EXPECT_TRUE(daemon.wait_for_log("Error: CloudD: connect: "));
    EXPECT_TRUE(configd->wait_until(
        [&] { return configd->count(UrlCheck2ConfigdMessage::MY_STAT_NOTIFICATION) >= statistics_before + 2; }, 10s));
    expect_still_up();
}

}  // namespace
}  // namespace nv::test
