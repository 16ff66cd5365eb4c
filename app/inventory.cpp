#include "app/inventory.h"

#include <csignal>

#include "check/check_engine.h"
#include "common/exception.h"
#include "common/log.h"
#include "ipc/configd_tie.h"
#include "ipc/ipc_server.h"
#include "ipc/stat_collector.h"
#include "nvs/log.h"

namespace uc {

namespace {

// The database library logs from the worker thread too; the daemon log is
// thread-safe, so the bridge writes to it directly.
void bridge_library_log()
{
    nv::nvs::log_t::instance().set_handler([](nv::nvs::log_t::level_t level, std::string_view text) {
        const int daemon_level = level == nv::nvs::log_t::debug     ? nv::log_debug
                                 : level == nv::nvs::log_t::warning ? nv::log_warning
                                                                    : nv::log_error;
        if (nv::log_enabled(daemon_level))
            nv::log_message(daemon_level, text);
    });
}

}  // namespace

inventory_t::inventory_t()
    : hangup_signals_(event_loop_, SIGHUP), termination_signals_(event_loop_, SIGTERM)
{
    bridge_library_log();
    // A write to a socket whose peer has gone then fails with EPIPE instead of
    // killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    wait_for_hangup();
    wait_for_termination();
}

inventory_t::~inventory_t()
{
    if (configd_)
        configd_->close();
    stat_collector_.reset();
    check_engine_.reset();
    server_.reset();
    config_.reset();
    configd_.reset();
}

void inventory_t::run(int descriptor)
{
    configd_ = configd_tie_t::create(*this, descriptor);
    config_ = std::make_unique<config_holder_t>();
    server_ = std::make_unique<ipc_server_t>(*this);
    check_engine_ = std::make_unique<check_engine_t>(*this);
    stat_collector_ = std::make_unique<stat_collector_t>(event_loop_, *configd_);

    boost::system::error_code error;
    event_loop_.run(error);
    if (error)
        nv::throw_system_error(error, "run");
}

void inventory_t::wait_for_termination()
{
    termination_signals_.async_wait([](const boost::system::error_code& error, int) {
        if (error == boost::asio::error::operation_aborted)
            return;
        if (error)
            nv::throw_system_error(error, "SIGTERM");
        if (nv::log_enabled(nv::log_notice))
            nv::log_message(nv::log_notice, "Termination signal received, exiting...");
        throw nv::EC_APP_TERMINATED;
    });
}

void inventory_t::wait_for_hangup()
{
    hangup_signals_.async_wait([this](const boost::system::error_code& error, int) {
        if (error == boost::asio::error::operation_aborted)
            return;
        if (error)
            nv::throw_system_error(error, "SIGHUP");
        if (nv::log_enabled(nv::log_notice))
            nv::log_message(nv::log_notice, "SIGHUP received, config will be ordered from ConfigD");
        if (configd_)
            configd_->request_config();
        wait_for_hangup();
    });
}

void inventory_t::fill_app_info(nv::UrlCheckAppInfo& info)
{
    info.set_nvs_state(check_engine_ ? check_engine_->nvs_state() : nv::EC_UNKNOWN_STATE);
}

url_checker_t* inventory_t::url_checker()
{
    return check_engine_.get();
}

}  // namespace uc
