// Decides every URL check: asks CloudD first when the configuration says so,
// the local databases otherwise or whenever the cloud cannot answer; logs each
// verdict. Keeps the daemon's database state and makes the databases follow
// the configured directory.
#pragma once

#include <memory>

#include <boost/signals2/connection.hpp>

#include "check/cloudd_connection.h"
#include "check/connection_holder.h"
#include "ipc/url_check_context.h"
#include "proto/error.pb.h"

namespace uc {

class application_t;
class nvs_engine_t;

class check_engine_t final : public url_checker_t {
public:
    // Creates the database engine (nothing loaded until the first applied
    // configuration) and the CloudD connection holder.
    explicit check_engine_t(application_t& application);
    // Disconnects from the signals, then closes the CloudD connection and stops
    // the database engine.
    ~check_engine_t() override;

    check_engine_t(const check_engine_t&) = delete;
    check_engine_t& operator=(const check_engine_t&) = delete;

    // By use_cloud of the configuration in force now.
    void check(url_check_context_t&& context) override;
    // CloudD's verdict, or the databases' when the cloud cannot give one.
    void check_in_cloud(url_check_context_t&& context);
    // The databases' verdict; EC_NO_NVS_BASES when none is loaded.
    void check_in_nvs(url_check_context_t&& context);

    // EC_UNKNOWN_STATE until the first load has finished, then EC_OK or
    // EC_NO_NVS_BASES.
    nv::ErrorCode nvs_state() const noexcept { return nvs_state_; }

    connection_holder_t<cloudd_connection_t>& cloudd() noexcept { return cloudd_; }

private:
    bool has_databases() const;
    void on_nvs_signal();
    void on_config_applied();

    application_t& application_;
    std::unique_ptr<nvs_engine_t> nvs_engine_;
    connection_holder_t<cloudd_connection_t> cloudd_;
    boost::signals2::scoped_connection nvs_slot_;
    boost::signals2::scoped_connection config_slot_;
    nv::ErrorCode nvs_state_ = nv::EC_UNKNOWN_STATE;
    // Completions that come back after the engine has gone (at shutdown) must
    // not touch it.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace uc
