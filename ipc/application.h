// What the daemon's components need from the application object that owns
// them: the event loop, the ConfigD link, the configuration in force with its
// configuration-applied signal, and the hooks the ConfigD link calls. The
// application object (uc::inventory_t) implements it; components below the
// application layer see only this interface.
#pragma once

#include <exception>

#include <boost/signals2/signal.hpp>

#include "proto/urlcheck_appinfo.pb.h"
#include "proto/urlcheck_config.pb.h"

namespace boost::asio {
class io_context;
}

namespace uc {

class configd_tie_t;
class url_checker_t;

// The configuration in force and the signal emitted after each one is applied.
struct config_holder_t {
    // Components reconfigure themselves in their slots; whatever a slot throws
    // passes through to whoever applied the configuration.
    boost::signals2::signal<void()> applied;
    nv::UrlCheckConfig config;
};

class application_t {
public:
    virtual ~application_t() = default;

    // The daemon's single event loop.
    virtual boost::asio::io_context& event_loop() = 0;
    // The link to ConfigD; valid once the application runs.
    virtual configd_tie_t& configd() = 0;
    // The configuration in force (empty until the first one is applied).
    virtual const nv::UrlCheckConfig& config() const = 0;
    // Emitted after each applied configuration, with config() already updated.
    virtual boost::signals2::signal<void()>& config_applied() = 0;

    // Applies a configuration received from ConfigD; throws uc::need_restart_t
    // when only a fresh process can apply it, nv::ErrorCode EC_BAD_CONFIG when
    // it cannot be applied at all.
    virtual void apply_config(const nv::UrlCheckConfig& config) = 0;
    // Throws uc::need_restart_t when a fresh process could overcome the failure
    // (a permission denial after privileges were dropped); else returns.
    virtual void check_restart_needed(const std::exception& failure) = 0;
    // Fills what the daemon reports about itself to ConfigD.
    virtual void fill_app_info(nv::UrlCheckAppInfo& info) = 0;
    // What client sessions hand their checks to; null while there is none
    // (applications that serve no clients).
    virtual url_checker_t* url_checker() { return nullptr; }
};

}  // namespace uc
