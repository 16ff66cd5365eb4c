// The real daemon under load: a thousand clients with a hundred requests each
// in flight, half of which vanish without reading, and a client that keeps
// asking but never reads its answers. Every request gets exactly one answer
// (matched by serial) unless its connection was closed, and the daemon stays up.
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <set>
#include <system_error>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ipc/frame.h"
#include "tests/support/client_swarm.h"
#include "tests/support/process_figures.h"
#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

using clock_type = std::chrono::steady_clock;

// Stretches a time limit by NORVA_TEST_TIME_SCALE (set for sanitizer runs).
std::chrono::milliseconds scaled(std::chrono::milliseconds limit)
{
    const char* scale = std::getenv("NORVA_TEST_TIME_SCALE");
    const int factor = scale ? std::atoi(scale) : 1;
    return limit * std::max(factor, 1);
}

const char* const gamble_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";

// Waits until the daemon holds exactly `expected` descriptors (sessions of
// closed clients go once the daemon has seen the close); the last count seen.
std::size_t settled_descriptors(running_daemon_t& daemon, std::size_t expected)
{
    std::size_t now = 0;
    const auto deadline = clock_type::now() + 30s;
    do {
        daemon.process().pump(0ms);
        now = open_descriptors(daemon.process().pid());
        if (now == expected)
            break;
        std::this_thread::sleep_for(50ms);
    } while (clock_type::now() < deadline);
    return now;
}

TEST(FaultLoad, ThousandPipelinedClientsHalfVanishTheOthersGetEveryAnswer)
{
    constexpr std::size_t clients = 1000;
    constexpr std::uint32_t requests = 100;
    // The daemon is started with the soft limit daemons commonly get (1024),
    // which cannot hold a thousand clients beside its own descriptors: it must
    // raise its limit itself. The test itself needs the room as well.
    const rlimit own = descriptor_limits(::getpid());
    if (own.rlim_max < clients + 200)
        GTEST_SKIP() << "the hard limit of open descriptors (" << own.rlim_max << ") is below "
                     << clients + 200;
    std::optional<running_daemon_t> daemon;
    {
        const scoped_descriptor_limit_t common_default(1024);
        daemon.emplace(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}});
    }
    const scoped_descriptor_limit_t room(own.rlim_max);
    // Quiet: a log line per request would only slow everything down.
    daemon->config.set_log_level(LOG_LEVEL_WARNING);
    ASSERT_TRUE(daemon->start());
    const pid_t pid = daemon->process().pid();
    const rlimit daemon_limits = descriptor_limits(pid);
    EXPECT_EQ(daemon_limits.rlim_cur, daemon_limits.rlim_max);
    const std::size_t idle_descriptors = open_descriptors(pid);

    const auto start = clock_type::now();
    {
        client_swarm_t swarm(daemon->socket_path(), clients);
        // Even requests are for a listed host, odd ones are not: each answer
        // must be the one for its own request.
        for (std::size_t c = 0; c < clients; ++c)
            for (std::uint32_t serial = 0; serial < requests; ++serial) {
                const std::string host = serial % 2 == 0 ? "casino.example" : "other.example";
                swarm.queue(c, url_request(serial, "http://" + host + "/" + std::to_string(c) + "/" +
                                                       std::to_string(serial)));
            }
        // The clients that will vanish never read a byte.
        for (std::size_t c = 0; c < clients; c += 2)
            swarm.stop_reading(c);
        const auto pump = [&daemon] { daemon->process().pump(0ms); };
        ASSERT_TRUE(swarm.run([&] { return pump(), swarm.all_written(); }, 120s));
        for (std::size_t c = 0; c < clients; c += 2)
            swarm.close(c);

        const auto all_answered = [&] {
            pump();
            for (std::size_t c = 1; c < clients; c += 2)
                if (swarm.end(c) == client_swarm_t::end_t::open && swarm.answers(c).size() < requests)
                    return false;
            return true;
        };
        EXPECT_TRUE(swarm.run(all_answered, 120s)) << swarm.answer_count() << " answers";
        // Anything further would be an answer too many.
        swarm.run([] { return false; }, 200ms);

        for (std::size_t c = 1; c < clients; c += 2) {
            SCOPED_TRACE("client " + std::to_string(c));
            ASSERT_EQ(swarm.end(c), client_swarm_t::end_t::open);
            ASSERT_EQ(swarm.answers(c).size(), requests);
            std::set<std::uint32_t> serials;
            for (const uc::ServerMessage& answer : swarm.answers(c)) {
                ASSERT_LT(answer.serial(), requests);
                ASSERT_TRUE(serials.insert(answer.serial()).second) << "serial " << answer.serial() << " twice";
                ASSERT_EQ(answer.url_result().error(), EC_OK);
                const std::vector<int> expected = answer.serial() % 2 == 0 ? std::vector<int>{UC_GAMBLING}
                                                                           : std::vector<int>{};
                ASSERT_EQ(std::vector<int>(answer.url_result().categories().begin(),
                                           answer.url_result().categories().end()),
                          expected);
            }
        }
    }
    // Every session is gone, the vanished ones included.
    EXPECT_EQ(settled_descriptors(*daemon, idle_descriptors), idle_descriptors);
    std::printf("%zu clients with %u requests each: answered and settled in %.1f s\n", clients, requests,
                std::chrono::duration<double>(clock_type::now() - start).count());
    ASSERT_TRUE(daemon->process().running()) << daemon->process().err();
    const unique_fd_t fresh = daemon->connect();
    const auto result = ask(fresh.get(), 7, "http://casino.example/");
    ASSERT_TRUE(result);
    EXPECT_EQ(std::vector<int>(result->categories().begin(), result->categories().end()),
              std::vector<int>{UC_GAMBLING});
    EXPECT_EQ(daemon->log_count("Error:"), 0) << daemon->process().err();
}

TEST(FaultLoad, ClientThatNeverReadsIsClosedPast64MiBWhileOthersAreAnswered)
{
    // Answers are small but for the legal URL of a piracy match: one of about
    // 4000 bytes (a database notice stays within 4096) makes 30,000 answers
    // weigh some 120 MB, well past the 64 MiB the daemon keeps for a client.
    const std::string legal = "https://store.example/" + std::string(3978, 'l');
    constexpr std::uint32_t requests = 30000;
    running_daemon_t daemon(running_daemon_t::databases_t{
        {"piracy.nvs", "name piracy\ndate 2026-01-15 12:00:00\nurl pirate.example\nnotice " + legal + "\n"}});
    daemon.config.set_log_level(LOG_LEVEL_WARNING);
    ASSERT_TRUE(daemon.start());

    const unique_fd_t hog = daemon.connect();
    const std::string warning = "Warning: Client 0x1: Output above 64 MiB unsent, closing the connection\n";
    std::string all_requests;
    for (std::uint32_t serial = 0; serial < requests; ++serial)
        all_requests += frame_bytes(url_request(serial, "http://pirate.example/" + std::to_string(serial)).SerializeAsString());
    // The daemon closes the connection while requests are still being
    // written: the writer then fails, which is expected. Should the test stop
    // early, shutting the socket down ends a write that waits.
    struct writer_t {
        std::thread thread;
        int fd;
        ~writer_t()
        {
            if (thread.joinable()) {
                ::shutdown(fd, SHUT_RDWR);
                thread.join();
            }
        }
    } writer{std::thread([fd = hog.get(), &all_requests] {
                 try {
                     write_bytes(fd, all_requests);
                 } catch (const std::system_error&) {
                 }
             }),
             hog.get()};

    // Another client is answered all along, however the first one behaves.
    const unique_fd_t bystander = daemon.connect();
    std::uint32_t asked = 0;
    auto slowest = clock_type::duration::zero();
    const auto deadline = clock_type::now() + 120s;
    do {
        const auto start = clock_type::now();
        const auto result = ask(bystander.get(), ++asked, "http://pirate.example/bystander");
        slowest = std::max(slowest, clock_type::now() - start);
        ASSERT_TRUE(result) << "request " << asked;
        ASSERT_EQ(result->piracy_legal_url(), legal);
        std::this_thread::sleep_for(20ms);
    } while (daemon.log_count(warning) == 0 && clock_type::now() < deadline);
    writer.thread.join();
    ASSERT_TRUE(daemon.wait_for_log(warning)) << daemon.process().err();
    EXPECT_LT(slowest, scaled(10s));

    // What reached the client before the close: whole answers to distinct
    // requests, perhaps ending in the part of one that was being written.
    const std::optional<std::string> received_or_not = read_until_gone(hog.get(), 60s);
    ASSERT_TRUE(received_or_not) << "the connection stayed open";
    const std::string& received = *received_or_not;
    std::set<std::uint32_t> serials;
    for (const std::string_view frame : whole_frames(received)) {
        uc::ServerMessage answer;
        ASSERT_TRUE(answer.ParseFromArray(frame.data(), static_cast<int>(frame.size())));
        ASSERT_LT(answer.serial(), requests);
        ASSERT_TRUE(serials.insert(answer.serial()).second) << "serial " << answer.serial() << " twice";
        ASSERT_EQ(answer.url_result().piracy_legal_url(), legal);
    }
    // The rest of the answers were dropped with the connection, not sent late.
    EXPECT_LT(serials.size(), requests);
    EXPECT_LT(received.size(), 2 * std::size_t{max_ipc_message_size});
    EXPECT_EQ(daemon.log_count("unsent, closing the connection"), 1);
    std::printf("never-reading client: %u requests, %zu answers (%zu bytes) received before the close; "
                "bystander: %u answers, slowest %.0f ms\n",
                requests, serials.size(), received.size(), asked,
                std::chrono::duration<double, std::milli>(slowest).count());

    ASSERT_TRUE(daemon.process().running()) << daemon.process().err();
    const auto after = ask(bystander.get(), ++asked, "http://pirate.example/after");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->piracy_legal_url(), legal);
    const unique_fd_t fresh = daemon.connect();
    EXPECT_TRUE(ask(fresh.get(), 1, "http://pirate.example/fresh"));
}

}  // namespace
}  // namespace nv::test
