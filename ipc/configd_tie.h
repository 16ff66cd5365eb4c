// The daemon's end of the socket to ConfigD: asks for the configuration and
// hands it to the application, reports the daemon's state and statistics, asks
// where CloudD listens, and passes on ConfigD's list of running components.
// Any failure of this link ends the daemon (EC_MONITOR_IPC_ERROR).
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

#include <boost/signals2/signal.hpp>

#include "ipc/basic_ipc_link.h"
#include "proto/application.pb.h"

namespace uc {

class application_t;

class configd_tie_t : public cf_basic_ipc_link_t, public std::enable_shared_from_this<configd_tie_t> {
public:
    using appinfo_list_t = google::protobuf::RepeatedPtrField<nv::AppInfo>;
    // Called with CloudD's socket path (empty on error) and the suite code of
    // ConfigD's answer (EC_OK, or error.code).
    using socket_path_callback_t = std::function<void(const std::string&, const boost::system::error_code&)>;

    // Adopts the inherited, connected descriptor (system error "assign" on
    // failure), starts reading and sends GET_CONFIG_REQUEST.
    static std::shared_ptr<configd_tie_t> create(application_t& application, int descriptor);

    // Sends GET_CONFIG_REQUEST.
    void request_config();
    // Sends MY_INFO_NOTIFICATION with the stored revision and the application's state.
    void send_info();
    // Sends MY_STAT_NOTIFICATION; the counts are zero-extended into the 64-bit fields.
    void send_stat(std::uint32_t base, std::uint32_t in, std::uint32_t out);
    // Registers a waiter for a component's socket path; the first waiter of a
    // round sends GET_CLOUDD_REQUEST, the others share its answer. Only
    // nv::APP_CLOUDD is supported; anything else aborts the process.
    void get_socket_path(nv::Application app, socket_path_callback_t callback);

    // Emitted with the list of every APPINFO_NOTIFICATION (possibly empty).
    boost::signals2::signal<void(const appinfo_list_t&)> appinfo_signal;

    // config_revision of the last GET_CONFIG_RESPONSE; 0 before the first.
    std::uint32_t config_revision() const noexcept { return config_revision_; }

    // Closes the socket; outstanding operations then end silently.
    void close() noexcept { close_socket(); }

    // Use create().
    explicit configd_tie_t(application_t& application);

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& input) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }

private:
    void dispatch(google::protobuf::io::ZeroCopyInputStream& input);

    application_t& application_;
    std::uint32_t config_revision_ = 0;
    std::map<nv::Application, std::list<socket_path_callback_t>> socket_path_waiters_;
};

}  // namespace uc
