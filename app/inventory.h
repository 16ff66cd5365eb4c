// The application object of the daemon: owns the event loop and every
// long-lived component, reacts to SIGTERM and SIGHUP, applies each
// configuration from ConfigD, and decides when the process must end so that
// ConfigD starts it again. Exceptions from event handlers leave run() and end
// the process through main.
#pragma once

#include <exception>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "ipc/application.h"
#include "proto/log.pb.h"

namespace uc {

class check_engine_t;
class configd_tie_t;
class ipc_server_t;
class stat_collector_t;
class user_identity_t;

class inventory_t final : public application_t {
public:
    // Arms the signal waits, bridges the database library's log into the
    // daemon log and ignores SIGPIPE. No components yet.
    inventory_t();
    // Closes the ConfigD socket first, then frees the components in reverse
    // order of creation, the signal sets, and the event loop last.
    ~inventory_t() override;

    inventory_t(const inventory_t&) = delete;
    inventory_t& operator=(const inventory_t&) = delete;

    // Builds the components on the inherited ConfigD descriptor and runs the
    // event loop until it has no work left. Exceptions pass through.
    void run(int descriptor);

    boost::asio::io_context& event_loop() override { return event_loop_; }
    configd_tie_t& configd() override { return *configd_; }
    const nv::UrlCheckConfig& config() const override { return config_->config; }
    boost::signals2::signal<void()>& config_applied() override { return config_->applied; }

    void apply_config(const nv::UrlCheckConfig& config) override;
    void check_restart_needed(const std::exception& failure) override;
    // nvs_state as the check engine keeps it (EC_UNKNOWN_STATE before the
    // first database load).
    void fill_app_info(nv::UrlCheckAppInfo& info) override;
    url_checker_t* url_checker() override;

private:
    void wait_for_hangup();
    void wait_for_termination();
    // Steps that a permission denial after the drop turns into a restart.
    void apply_log(const nv::UrlCheckConfig& config, user_identity_t& identity);
    void switch_user(user_identity_t& identity);

    boost::asio::io_context event_loop_;
    boost::asio::signal_set hangup_signals_;
    boost::asio::signal_set termination_signals_;
    std::shared_ptr<configd_tie_t> configd_;
    std::unique_ptr<config_holder_t> config_;
    // Both follow the configuration through config_applied(), in this order.
    std::unique_ptr<ipc_server_t> server_;
    std::unique_ptr<check_engine_t> check_engine_;
    std::unique_ptr<stat_collector_t> stat_collector_;
    bool privileges_dropped_ = false;
};

}  // namespace uc
