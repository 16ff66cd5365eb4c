// Plays ConfigD on a thread of its own while a test does something else
// (changes database files, sends signals, runs clients): answers every
// GET_CONFIG_REQUEST with the configuration and a new revision, answers
// GET_CLOUDD_REQUEST with CloudD's path when one is given, and keeps count of
// everything the daemon sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "proto/configd_urlcheck_ipc.pb.h"
#include "tests/support/frames.h"
#include "tests/support/test_configd.h"

namespace nv::test {

class configd_responder_t {
public:
    using tag_t = UrlCheck2ConfigdMessage::MessageTag;

    struct info_t {
        std::uint32_t revision = 0;
        ErrorCode nvs_state = EC_UNKNOWN_STATE;
    };

    // Takes over the conversation of a configured daemon whose last
    // configuration had `last_revision` and whose database load for it has
    // been reported (running_daemon_t::start() leaves it so). Until stop(),
    // nothing else may read from or write to the ConfigD socket.
    configd_responder_t(test_configd_t& configd, UrlCheckConfig config, std::uint32_t last_revision = 1);
    // Stops the thread.
    ~configd_responder_t();

    configd_responder_t(const configd_responder_t&) = delete;
    configd_responder_t& operator=(const configd_responder_t&) = delete;

    // From now on GET_CLOUDD_REQUEST is answered with this path.
    void set_cloudd_path(const std::string& path);

    // The configuration sent from now on.
    void set_config(const UrlCheckConfig& config);

    // Sends the configuration unasked, as ConfigD does when it changes; returns
    // its revision.
    std::uint32_t send_config();

    // Messages of the tag received so far.
    int count(tag_t tag) const;
    // Configurations sent (asked for or not).
    int configs_sent() const;
    std::vector<info_t> infos() const;

    // Limits are stretched by NORVA_TEST_TIME_SCALE.

    // Waits until every configuration sent has been applied and the database
    // load it started has ended: the daemon sends one MY_INFO_NOTIFICATION for
    // each of the two. False at the limit, or if more came than that.
    bool wait_settled(std::chrono::milliseconds limit = 60s);
    // Waits until the predicate holds; it may call the accessors above.
    bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds limit = 60s);

    // Why the thread stopped early (the daemon closed its end, a bad frame...);
    // empty while all is well.
    std::string failure() const;

    // Ends the thread; the socket can then be used directly again.
    void stop();

private:
    void serve();
    void handle(const UrlCheck2ConfigdMessage& message);
    void send_config_locked();

    test_configd_t& configd_;
    UrlCheckConfig config_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint32_t revision_;
    int configs_sent_ = 0;
    std::optional<std::string> cloudd_path_;
    std::map<int, int> counts_;
    std::vector<info_t> infos_;
    std::string failure_;
    bool stopping_ = false;

    std::thread thread_;
};

}  // namespace nv::test
