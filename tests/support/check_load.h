// Clients that keep URL checks in flight against a running daemon, each on a
// thread and a connection of its own, while a test does damage elsewhere; they
// account for every answer: exactly one per request, matched by serial, and
// one of the verdicts the test said it may be.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proto/urlcheck_client_ipc.pb.h"
#include "tests/support/frames.h"

namespace nv::test {

// A URL the clients ask about and the answers it may get.
struct expected_url_t {
    std::string url;
    // Every answer must carry EC_OK and exactly one of these category lists
    // (in the order the daemon answers in). A URL in a database that stays
    // through the test has one list; one whose database comes and goes, two.
    std::vector<std::vector<UrlCategory>> verdicts;
};

// Text of a category list for messages, e.g. "[6]" or "[]".
std::string categories_text(const std::vector<UrlCategory>& categories);

class check_load_t {
public:
    struct options_t {
        std::string socket_path;
        std::vector<expected_url_t> urls;
        int clients = 4;
        // Requests written at once before the answers are read.
        int depth = 32;
        // How long a client waits for the answers of one round (stretched by
        // NORVA_TEST_TIME_SCALE, like every limit here).
        std::chrono::milliseconds answer_limit = 60s;
        // Rounds after which a client ends by itself; 0: until stop().
        std::uint64_t max_rounds = 0;
        // Rest between rounds: the requests in flight matter, not the rate,
        // and tests running beside this one need the processor too.
        std::chrono::milliseconds pause{0};
    };

    struct summary_t {
        std::uint64_t sent = 0;
        std::uint64_t answered = 0;
        std::uint64_t rounds = 0;
        // Every request unanswered, answered twice, answered with a serial
        // never sent, or answered wrongly; the first few are described.
        std::uint64_t fault_count = 0;
        std::vector<std::string> faults;
    };

    // Connects the clients and starts them.
    explicit check_load_t(options_t options);
    // Stops the clients.
    ~check_load_t();

    check_load_t(const check_load_t&) = delete;
    check_load_t& operator=(const check_load_t&) = delete;

    // Waits until every client has finished at least `rounds` rounds (or
    // ended on a fault); false at the limit.
    bool wait_for_rounds(std::uint64_t rounds, std::chrono::milliseconds limit = 60s);

    // Lets every client finish its round and waits for them.
    void stop();

    // Totals so far; complete after stop().
    summary_t summary() const;

private:
    void run_client(int index);
    void fault(const std::string& text);

    options_t options_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    summary_t summary_;
    std::vector<std::uint64_t> rounds_;
    std::vector<bool> ended_;

    std::vector<std::thread> threads_;
};

}  // namespace nv::test
