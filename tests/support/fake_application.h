// An application object for tests of components that need one (ConfigD link,
// statistics, later the client server): a real event loop and configuration
// holder, and a record of every configuration applied.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "ipc/application.h"
#include "ipc/configd_tie.h"

namespace nv::test {

class fake_application_t : public uc::application_t {
public:
    // Closes and releases the ConfigD link while the event loop it was made on
    // still exists, as the real application object does.
    ~fake_application_t() override
    {
        if (configd_link)
            configd_link->close();
        configd_link.reset();
    }

    boost::asio::io_context& event_loop() override { return event_loop_; }
    uc::configd_tie_t& configd() override { return *configd_link; }
    const UrlCheckConfig& config() const override { return holder_.config; }
    boost::signals2::signal<void()>& config_applied() override { return holder_.applied; }

    // Records the configuration, stores it and emits the signal; a set
    // `apply_failure` is called first (to throw).
    void apply_config(const UrlCheckConfig& config) override;
    void check_restart_needed(const std::exception&) override {}
    void fill_app_info(UrlCheckAppInfo& info) override { info.set_nvs_state(nvs_state); }
    uc::url_checker_t* url_checker() override { return checker; }

    // Runs the event loop until nothing is ready or the time passes; returns
    // the exception that left a handler, if any.
    std::exception_ptr run_for(std::chrono::milliseconds period);

    std::shared_ptr<uc::configd_tie_t> configd_link;
    std::vector<UrlCheckConfig> applied;
    std::function<void()> apply_failure;
    ErrorCode nvs_state = EC_UNKNOWN_STATE;
    // What client sessions of the test hand their checks to; none by default.
    uc::url_checker_t* checker = nullptr;

private:
    boost::asio::io_context event_loop_;
    uc::config_holder_t holder_;
};

}  // namespace nv::test
