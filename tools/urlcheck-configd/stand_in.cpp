#include "tools/urlcheck-configd/stand_in.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/local/stream_protocol.hpp>

#include "common/error.h"
#include "common/exception.h"
#include "common/log.h"
#include "proto/root_appinfo.pb.h"

namespace configd {

namespace {

using from_daemon_t = nv::UrlCheck2ConfigdMessage;
using to_daemon_t = nv::Configd2UrlCheckMessage;

std::string code_text(int value)
{
    return nv::error_code_text(value).value_or(std::to_string(value));
}

}  // namespace

void say(const std::string& text)
{
    nv::write_all(2, "urlcheck-configd: " + text + "\n");
}

stand_in_t::stand_in_t(options_t options)
    : options_(std::move(options)), file_(options_.config_path), control_signals_(event_loop_, SIGHUP, SIGTERM, SIGINT),
      child_signals_(event_loop_, SIGCHLD)
{
    file_.load();
    // Writing to a daemon that has just gone must fail, not kill us.
    ::signal(SIGPIPE, SIG_IGN);
}

int stand_in_t::run()
{
    wait_for_signals();
    wait_for_child();
    start_daemon();
    event_loop_.run();
    return exit_status_;
}

void stand_in_t::start_daemon()
{
    const auto now = std::chrono::steady_clock::now();
    while (!starts_.empty() && now - starts_.front() > std::chrono::minutes(1))
        starts_.pop_front();
    if (starts_.size() >= max_starts_per_minute) {
        say("the daemon asked for a restart " + std::to_string(starts_.size()) +
            " times within a minute; not starting it again");
        finish(1);
        return;
    }
    starts_.push_back(now);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        nv::throw_errno("socketpair");
    auto ours = std::make_shared<daemon_link_t::socket_t>(event_loop_);
    boost::asio::local::stream_protocol::socket theirs(event_loop_);
    ours->assign(boost::asio::local::stream_protocol(), pair[0]);
    theirs.assign(boost::asio::local::stream_protocol(), pair[1]);

    daemon_ready_ = false;
    first_config_sent_ = false;
    nvs_state_.reset();
    daemon_ = std::make_unique<daemon_process_t>(options_.daemon_path, theirs.native_handle());
    theirs.close();
    say("started " + options_.daemon_path + " (pid " + std::to_string(daemon_->pid()) + ")");

    link_ = std::make_shared<daemon_link_t>([this](const from_daemon_t& message) { on_message(message); },
                                            [this](const boost::system::error_code& error) { on_link_error(error); });
    link_->start(std::move(ours));
}

void stand_in_t::wait_for_signals()
{
    control_signals_.async_wait([this](const boost::system::error_code& error, int number) {
        if (error)
            return;
        if (number == SIGHUP) {
            reload();
        } else if (daemon_) {
            terminating_ = true;
            say(std::string(number == SIGINT ? "interrupted" : "terminated") + "; stopping the daemon");
            daemon_->signal(SIGTERM);
        } else {
            finish(0);
            return;
        }
        wait_for_signals();
    });
}

void stand_in_t::wait_for_child()
{
    child_signals_.async_wait([this](const boost::system::error_code& error, int) {
        if (error)
            return;
        if (daemon_) {
            if (const std::optional<int> status = daemon_->try_reap()) {
                on_daemon_exit(*status);
                if (event_loop_.stopped())
                    return;
            }
        }
        wait_for_child();
    });
}

void stand_in_t::on_daemon_exit(int wait_status)
{
    if (link_) {
        link_->close();
        link_.reset();
    }
    daemon_.reset();
    const int status = exit_status_of(wait_status);
    say("the daemon exited with status " + std::to_string(status) +
        (WIFEXITED(wait_status) ? " (" + code_text(status) + ")" : " (killed by signal " +
                                                                       std::to_string(WTERMSIG(wait_status)) + ")"));
    if (WIFEXITED(wait_status) && status == 0 && !terminating_) {
        say("restarting the daemon, as it asked");
        start_daemon();
        return;
    }
    finish(status);
}

void stand_in_t::on_link_error(const boost::system::error_code& error)
{
    // End of stream is the daemon going away; its exit status follows.
    if (error != boost::asio::error::eof) {
        say("link to the daemon failed: " + error.message() + "; stopping the daemon");
        if (daemon_)
            daemon_->signal(SIGTERM);
    }
}

void stand_in_t::reload()
{
    try {
        const std::uint32_t before = file_.revision();
        file_.load();
        say("reloaded " + file_.path() +
            (file_.revision() != before ? " (revision " + std::to_string(file_.revision()) + ")" : " (unchanged)"));
    } catch (const std::runtime_error& e) {
        say(std::string(e.what()) + "; keeping revision " + std::to_string(file_.revision()));
        return;
    }
    // A daemon that has not asked yet will get the new file with its first request.
    if (daemon_ && daemon_ready_)
        daemon_->signal(SIGHUP);
}

void stand_in_t::finish(int status)
{
    exit_status_ = status;
    event_loop_.stop();
}

void stand_in_t::on_message(const from_daemon_t& message)
{
    switch (message.tag()) {
    case from_daemon_t::GET_CONFIG_REQUEST:
        daemon_ready_ = true;
        send_config();
        if (!first_config_sent_) {
            first_config_sent_ = true;
            if (!options_.cloudd_socket.empty())
                send_appinfo();
        }
        break;
    case from_daemon_t::MY_INFO_NOTIFICATION:
        if (message.has_info() && nvs_state_ != message.info().nvs_state()) {
            nvs_state_ = message.info().nvs_state();
            say("nvs_state " + nv::ErrorCode_Name(message.info().nvs_state()) + " (" + code_text(*nvs_state_) +
                "), configuration revision " + std::to_string(message.config_revision()));
        }
        break;
    case from_daemon_t::MY_STAT_NOTIFICATION:
        if (options_.verbose) {
            const auto& connections = message.stat().connections();
            say("statistics: connections base " + std::to_string(connections.base()) + ", in " +
                std::to_string(connections.in()) + ", out " + std::to_string(connections.out()));
        }
        break;
    case from_daemon_t::GET_CLOUDD_REQUEST:
        answer_cloudd_request();
        break;
    }
}

void stand_in_t::send_config()
{
    to_daemon_t response;
    response.set_tag(to_daemon_t::GET_CONFIG_RESPONSE);
    response.set_config_revision(file_.revision());
    *response.mutable_config() = file_.config();
    link_->async_send_message(response);
    if (options_.verbose)
        say("configuration revision " + std::to_string(file_.revision()) + " sent");
}

void stand_in_t::send_appinfo()
{
    to_daemon_t notification;
    notification.set_tag(to_daemon_t::APPINFO_NOTIFICATION);
    nv::AppInfo& own = *notification.add_appinfo();
    own.set_app(nv::APP_CONFIGD);
    own.set_pid(::getpid());
    nv::RootAppInfo& root = *own.MutableExtension(nv::root_info);
    root.set_config_mode(nv::CONFIG_MODE_SPECIFIED);
    nv::InstalledApp& cloudd = *root.add_installed_app();
    cloudd.set_app(nv::APP_CLOUDD);
    cloudd.set_exe_path("");
    cloudd.set_install_time(0);
    cloudd.set_ini_section("CloudD");
    root.add_runlist(nv::APP_CLOUDD);
    link_->async_send_message(notification);
}

void stand_in_t::answer_cloudd_request()
{
    to_daemon_t response;
    response.set_tag(to_daemon_t::GET_CLOUDD_RESPONSE);
    if (options_.cloudd_socket.empty()) {
        nv::Error& error = *response.mutable_error();
        error.set_code(nv::EC_NOT_INSTALLED);
        error.set_what("CloudD is not configured (no --cloudd-socket)");
    } else {
        response.set_socket_path(options_.cloudd_socket);
    }
    link_->async_send_message(response);
    if (options_.verbose)
        say(options_.cloudd_socket.empty() ? "CloudD's address asked for: not installed"
                                           : "CloudD's address asked for: " + options_.cloudd_socket);
}

}  // namespace configd
