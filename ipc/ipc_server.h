// The daemon's front door: listens at the configured client_socket_path and
// starts one client session per accepted connection. Follows every applied
// configuration by itself; sessions already connected are left alone when the
// path moves.
#pragma once

#include <memory>
#include <string>

#include <boost/signals2/connection.hpp>
#include <boost/system/error_code.hpp>

#include "ipc/basic_ipc_link.h"

namespace uc {

class application_t;

class ipc_server_t {
public:
    // Connects to the configuration-applied signal; does not listen yet.
    explicit ipc_server_t(application_t& application);
    // Stops serving (the socket file is removed).
    ~ipc_server_t();

    ipc_server_t(const ipc_server_t&) = delete;
    ipc_server_t& operator=(const ipc_server_t&) = delete;

    // Moves the server to the configured path when it differs from the one
    // served. A path that cannot be served ends the daemon (EC_BAD_CONFIG), or
    // restarts it when the failure came after privileges were dropped.
    void reconfigure();

    // The path served (or last served); empty before the first start.
    const std::string& path() const noexcept { return path_; }
    bool serving() const noexcept { return static_cast<bool>(acceptor_); }

private:
    using acceptor_t = boost::asio::basic_socket_acceptor<boost::asio::local::stream_protocol>;

    void start(const std::string& path);
    void stop();
    void start_accept();
    void on_accept(const boost::system::error_code& error, std::shared_ptr<cf_basic_ipc_link_t::socket_t> socket);

    application_t& application_;
    std::string path_;
    std::shared_ptr<acceptor_t> acceptor_;
    boost::signals2::scoped_connection config_slot_;
};

}  // namespace uc
