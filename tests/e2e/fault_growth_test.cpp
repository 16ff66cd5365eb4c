// The real daemon over a long run: 100,000 connections (connect, one check,
// answer, close; fifty at a time) and 1,000 database reloads (a tenth of both
// under sanitizers) leave its descriptors exactly as they were and its
// anonymous memory within a small constant.
#include <chrono>
#include <cstdio>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "tests/support/client_swarm.h"
#include "tests/support/process_figures.h"
#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

using clock_type = std::chrono::steady_clock;
using tag_t = UrlCheck2ConfigdMessage;

const char* const first_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";
const char* const second_source = "name gamble\ndate 2026-01-16 12:00:00\nurl casino.example\nurl poker.example\n";

// A sanitizer makes every connection several times slower; the counts are cut
// by this factor there (the descriptor check stays exact).
constexpr int sanitizer_divisor = sanitized_build() ? 10 : 1;
constexpr int rounds = 1000 / sanitizer_divisor;
constexpr std::size_t connections_per_round = 100;
constexpr std::size_t at_once = 50;
// Growth of anonymous resident memory tolerated over the whole run: room for
// allocator arenas settling and the statistics of a live process, far below
// what a leak of even 100 bytes per connection (10 MB) would show.
constexpr std::uint64_t memory_bound = 8u << 20;

class growth_run_t {
public:
    growth_run_t()
        : daemon_(running_daemon_t::databases_t{{"gamble.nvs", first_source}})
    {
        build_database(first_source, daemon_.dir() / "first.nvs");
        build_database(second_source, daemon_.dir() / "second.nvs");
        // Quiet: a log line per request would only slow everything down.
        daemon_.config.set_log_level(LOG_LEVEL_WARNING);
    }

    running_daemon_t& daemon() noexcept { return daemon_; }
    pid_t pid() { return daemon_.process().pid(); }

    // Puts a fresh copy of one of the two databases in place (a new file
    // renamed over the old one, as database updates arrive), sends the
    // configuration again and waits until the reload it causes has finished.
    ::testing::AssertionResult reload(int round)
    {
        const std::string nvs_dir = daemon_.config.nvs_dir();
        const bool second = round % 2 == 1;
        boost::filesystem::copy_file(daemon_.dir() / (second ? "second.nvs" : "first.nvs"), nvs_dir + "/next.tmp",
                                     boost::filesystem::copy_options::overwrite_existing);
        boost::filesystem::rename(nvs_dir + "/next.tmp", nvs_dir + "/gamble.nvs");
        const std::uint32_t revision = ++revision_;
        daemon_.configd().send_config(daemon_.config, revision);
        // One notification when the configuration is applied, one when the
        // load it started has ended.
        for (int i = 0; i < 2; ++i)
            if (!daemon_.configd().next_info(revision))
                return ::testing::AssertionFailure() << "no notification " << i << " for revision " << revision;
        const auto result = ask(probe_.get(), revision, "http://poker.example/");
        if (!result)
            return ::testing::AssertionFailure() << "the probe got no answer after reload " << round;
        if (result->categories_size() != (second ? 1 : 0))
            return ::testing::AssertionFailure() << "reload " << round << " did not take effect";
        return ::testing::AssertionSuccess();
    }

    // `count` clients, `at_once` at a time: each connects, asks once, reads
    // its one answer and closes.
    ::testing::AssertionResult connections(std::size_t count)
    {
        for (std::size_t done = 0; done < count; done += at_once) {
            client_swarm_t swarm(daemon_.socket_path(), at_once);
            for (std::size_t c = 0; c < at_once; ++c)
                swarm.queue(c, url_request(static_cast<std::uint32_t>(c), "http://casino.example/" + std::to_string(c)));
            const bool answered = swarm.run([&] { return swarm.answer_count() == at_once; }, 60s);
            daemon_.process().pump(0ms);
            if (!answered)
                return ::testing::AssertionFailure() << swarm.answer_count() << " answers of " << at_once;
            for (std::size_t c = 0; c < at_once; ++c) {
                const auto& answers = swarm.answers(c);
                if (answers.size() != 1 || answers[0].serial() != c || answers[0].url_result().categories_size() != 1)
                    return ::testing::AssertionFailure() << "client " << c << " got a wrong answer";
            }
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult start()
    {
        if (!daemon_.start())
            return ::testing::AssertionFailure() << "the daemon did not start";
        probe_ = daemon_.connect();
        if (!ask(probe_.get(), 0, "http://casino.example/"))
            return ::testing::AssertionFailure() << "no answer to the probe";
        return ::testing::AssertionSuccess();
    }

    // The descriptor count once the sessions of closed clients are gone:
    // `expected` as soon as it is seen, else the last count after 30 s.
    std::size_t settled_descriptors(std::size_t expected)
    {
        std::size_t now = 0;
        const auto deadline = clock_type::now() + 30s;
        do {
            daemon_.process().pump(0ms);
            now = open_descriptors(pid());
            if (now == expected)
                break;
            std::this_thread::sleep_for(50ms);
        } while (clock_type::now() < deadline);
        return now;
    }

private:
    running_daemon_t daemon_;
    unique_fd_t probe_;
    std::uint32_t revision_ = 1;
};

TEST(FaultGrowth, DescriptorsAndMemoryStayFlatOverManyConnectionsAndReloads)
{
    growth_run_t run;
    ASSERT_TRUE(run.start());
    // Nothing but the ConfigD link, the listening socket, the log, the event
    // loop's own descriptors and the probe's session.
    const std::size_t descriptors = open_descriptors(run.pid());

    // A first stretch lets the allocator reach its working size.
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(run.reload(round));
        ASSERT_TRUE(run.connections(connections_per_round));
    }
    ASSERT_EQ(run.settled_descriptors(descriptors), descriptors);
    const std::uint64_t memory_before = status_bytes(run.pid(), "RssAnon");

    const auto start = clock_type::now();
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(run.reload(round));
        ASSERT_TRUE(run.connections(connections_per_round));
    }
    const auto seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    EXPECT_EQ(run.settled_descriptors(descriptors), descriptors);
    const std::uint64_t memory_after = status_bytes(run.pid(), "RssAnon");
    std::printf("%d reloads and %zu connections in %.1f s; daemon RssAnon %llu KiB before, %llu KiB after\n",
                rounds, rounds * connections_per_round, seconds,
                static_cast<unsigned long long>(memory_before / 1024),
                static_cast<unsigned long long>(memory_after / 1024));
    // Under a sanitizer resident memory holds its shadow and its quarantine of
    // freed blocks: it says nothing about leaks there.
    if (!sanitized_build()) {
        EXPECT_LE(memory_after, memory_before + memory_bound);
    }
    ASSERT_TRUE(run.daemon().process().running()) << run.daemon().process().err();
    EXPECT_EQ(run.daemon().log_count("Error:"), 0) << run.daemon().process().err();
}

}  // namespace
}  // namespace nv::test
