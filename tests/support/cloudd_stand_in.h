// A CloudD for tests: listens on a socket path in a thread of its own and
// answers CHECK_URL_REQUEST from a table of rules keyed by the escaped URL.
// A rule may also answer late, with an error result, without `serial`, never,
// hold the answer until the test releases it (released answers go out last
// held first, i.e. out of order), close the connection, or misbehave on the
// wire (half an answer then close, a bad frame length, bytes that do not
// parse, an answer to a serial never sent, the same answer twice). It records every request and
// every connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "proto/error.pb.h"
#include "proto/url_category.pb.h"
#include "tests/support/frames.h"

namespace nv::test {

class cloudd_stand_in_t {
public:
    using clock_type = std::chrono::steady_clock;

    enum class action_t {
        answer,     // CHECK_URL_RESPONSE with `result` and `categories`, after `delay`
        no_serial,  // the response lacks `serial`
        never,      // no response at all
        hold,       // the response waits for release_held()
        close,      // the connection is closed instead of answering
        half_then_close,  // the first half of the answer's frame, then the connection is closed
        bad_length,       // a frame header with `length` (0, or above the 64 MiB maximum), nothing else
        garbage,          // a frame whose bytes do not parse as a response
        unknown_serial,   // an answer to a serial never sent (serial + 1,000,000), then the right answer
        twice,            // the answer, sent twice
    };

    struct rule_t {
        action_t action = action_t::answer;
        std::vector<UrlCategory> categories;
        ErrorCode result = EC_OK;
        std::chrono::milliseconds delay{0};
        // The frame length sent by bad_length.
        std::uint32_t length = 0;
    };

    struct request_t {
        int connection = 0;  // 1 for the first connection accepted, and so on
        bool has_serial = false;
        std::uint32_t serial = 0;
        std::string url;
        std::vector<std::string> addresses;
    };

    struct connection_t {
        clock_type::time_point opened;
        // Set when the daemon closed its end (or the stand-in closed it).
        std::optional<clock_type::time_point> closed;
        // When the last answer went out on it.
        std::optional<clock_type::time_point> last_answer;
    };

    // Listens at the path (a file there is removed first) and starts serving.
    explicit cloudd_stand_in_t(std::string path);
    // Stops serving, closes every connection and removes the socket file.
    ~cloudd_stand_in_t();

    cloudd_stand_in_t(const cloudd_stand_in_t&) = delete;
    cloudd_stand_in_t& operator=(const cloudd_stand_in_t&) = delete;

    const std::string& path() const noexcept { return path_; }

    // The rule for one escaped URL; URLs without a rule get the default rule
    // (an answer with no categories unless changed).
    void set_rule(const std::string& url, rule_t rule);
    void set_default_rule(rule_t rule);

    // Sends every held answer, the most recently held first.
    void release_held();

    std::vector<request_t> requests() const;
    std::vector<connection_t> connections() const;
    // Waits until at least `count` requests have arrived.
    bool wait_for_requests(std::size_t count, std::chrono::milliseconds limit = 20s);
    // Waits until the connection (1-based) has been closed.
    bool wait_for_close(int connection, std::chrono::milliseconds limit = 20s);

private:
    struct peer_t {
        unique_fd_t fd;
        std::string input;
    };
    struct outgoing_t {
        clock_type::time_point due;
        int connection;
        std::string bytes;  // usually a whole frame
        bool close_after = false;
    };

    void serve();
    void accept_one();
    void read_from(int id, peer_t& peer);
    void handle_request(int id, const std::string& bytes);
    void close_peer(int id);
    void send_due();
    void wake();

    std::string path_;
    unique_fd_t listener_;
    unique_fd_t wake_read_;
    unique_fd_t wake_write_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::string, rule_t> rules_;
    rule_t default_rule_;
    std::vector<request_t> requests_;
    std::vector<connection_t> connections_;
    std::vector<outgoing_t> scheduled_;
    std::vector<outgoing_t> held_;

    // Serving thread only.
    std::map<int, peer_t> peers_;

    std::thread thread_;
};

}  // namespace nv::test
