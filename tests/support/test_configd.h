// A ConfigD for tests: starts the real daemon with one end of a socket pair
// inherited and named by COM_NORVA_MONITOR, and plays ConfigD's side of the
// protocol on the other end (configurations out, requests and notifications in).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proto/configd_urlcheck_ipc.pb.h"
#include "tests/support/frames.h"
#include "tests/support/process.h"

namespace nv::test {

class test_configd_t {
public:
    // Descriptor number of the ConfigD socket inside the daemon.
    static constexpr int daemon_descriptor = 3;

    // Starts build/bin/norva-urlcheck. `extra` may add environment or
    // descriptors; its program, argv and the inherited socket are set here.
    explicit test_configd_t(process_options_t extra = {});
    // Kills a daemon still running.
    ~test_configd_t() = default;

    // A configuration a test can start from: log on standard error at Debug,
    // run as the current user, no databases directory, cloud off.
    static UrlCheckConfig basic_config();

    void send(const Configd2UrlCheckMessage& message);
    // Sends GET_CONFIG_RESPONSE with the configuration and revision.
    void send_config(const UrlCheckConfig& config, std::uint32_t revision);
    // Writes raw bytes (broken frames and the like).
    void send_raw(std::string_view bytes);

    // The next message from the daemon, whatever its tag; nothing when the
    // time passes or the daemon closes its end first.
    std::optional<UrlCheck2ConfigdMessage> read(std::chrono::milliseconds timeout = 20s);
    // The next message with the tag; messages with other tags are skipped
    // (statistics arrive every second).
    std::optional<UrlCheck2ConfigdMessage> next(UrlCheck2ConfigdMessage::MessageTag tag,
                                                std::chrono::milliseconds timeout = 20s);
    // The next MY_INFO_NOTIFICATION of the revision. Notifications of earlier
    // revisions are skipped: the daemon also reports when a database load that
    // an earlier configuration started has finished, at a time of its own.
    std::optional<UrlCheck2ConfigdMessage> next_info(std::uint32_t revision, std::chrono::milliseconds timeout = 20s);
    // Messages of the tag that arrive within the period (others skipped).
    int count(UrlCheck2ConfigdMessage::MessageTag tag, std::chrono::milliseconds period);

    // Answers the first GET_CONFIG_REQUEST with the configuration and waits for
    // the MY_INFO_NOTIFICATION that says it was applied; false if it did not come.
    bool configure(const UrlCheckConfig& config, std::uint32_t revision = 1);

    // ConfigD's end of the socket, for raw reads and writes.
    int socket() const noexcept { return socket_.get(); }
    // Closes ConfigD's end of the socket. Messages of the daemon not read yet
    // make the kernel reset the connection (the daemon reads ECONNRESET, not
    // the end of the stream).
    void close_socket() { socket_.reset(); }
    // Ends ConfigD's side of the conversation cleanly: the daemon reads the
    // end of the stream whatever it has sent meanwhile.
    void shut_down_writing();

    child_process_t& daemon() noexcept { return daemon_; }
    // Waits for the daemon to end; kills it at the limit.
    process_result_t wait(std::chrono::milliseconds limit = 60s) { return daemon_.wait(limit); }

private:
    using clock_type = std::chrono::steady_clock;

    test_configd_t(std::pair<unique_fd_t, unique_fd_t> pair, process_options_t extra);
    // next() and next_info() against a deadline already stretched (or a
    // period that must not be).
    std::optional<UrlCheck2ConfigdMessage> next_until(UrlCheck2ConfigdMessage::MessageTag tag,
                                                      clock_type::time_point deadline);
    std::optional<UrlCheck2ConfigdMessage> next_info_until(std::uint32_t revision, clock_type::time_point deadline);

    unique_fd_t socket_;
    child_process_t daemon_;
};

}  // namespace nv::test
