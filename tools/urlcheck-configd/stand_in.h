// urlcheck-configd: a stand-in for ConfigD that runs one daemon, answers its
// requests from a configuration file, passes SIGHUP on, ends it with SIGTERM on
// SIGTERM or Ctrl-C, and starts it again when it asks for a restart (status 0).
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "tools/urlcheck-configd/config_file.h"
#include "tools/urlcheck-configd/daemon_link.h"
#include "tools/urlcheck-configd/daemon_process.h"

namespace configd {

struct options_t {
    std::string config_path;
    std::string daemon_path;
    // Empty: GET_CLOUDD_REQUEST is answered with EC_NOT_INSTALLED.
    std::string cloudd_socket;
    bool verbose = false;
};

// Starts allowed within one minute; a daemon that keeps asking for restarts
// beyond that is left stopped.
inline constexpr std::size_t max_starts_per_minute = 5;

class stand_in_t {
public:
    // Loads the configuration file; throws std::runtime_error naming the file
    // and what is wrong.
    explicit stand_in_t(options_t options);

    // Starts the daemon and serves it; returns the exit status for this
    // program: the daemon's status when it ends other than by a restart request.
    int run();

private:
    void start_daemon();
    void wait_for_signals();
    void wait_for_child();
    void on_daemon_exit(int wait_status);
    void on_message(const nv::UrlCheck2ConfigdMessage& message);
    void on_link_error(const boost::system::error_code& error);
    void reload();
    void finish(int status);
    void send_config();
    void send_appinfo();
    void answer_cloudd_request();

    options_t options_;
    config_file_t file_;
    boost::asio::io_context event_loop_;
    boost::asio::signal_set control_signals_;
    boost::asio::signal_set child_signals_;
    std::unique_ptr<daemon_process_t> daemon_;
    std::shared_ptr<daemon_link_t> link_;
    std::deque<std::chrono::steady_clock::time_point> starts_;
    // The daemon has asked for its configuration, so its signal handlers are
    // in place and a SIGHUP no longer kills it.
    bool daemon_ready_ = false;
    bool first_config_sent_ = false;
    bool terminating_ = false;
    std::optional<int> nvs_state_;
    int exit_status_ = 0;
};

// Writes "urlcheck-configd: " and the text as one line on standard error.
void say(const std::string& text);

}  // namespace configd
