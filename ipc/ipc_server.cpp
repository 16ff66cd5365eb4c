#include "ipc/ipc_server.h"
#include "common/quoted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>

#include "common/exception.h"
#include "common/log.h"
#include "ipc/application.h"
#include "ipc/client_tie.h"

namespace uc {

namespace {

using stream_protocol = boost::asio::local::stream_protocol;

// Room for the path in sun_path, the terminating zero aside.
constexpr std::size_t max_socket_path = 107;

[[noreturn]] void throw_file_error(const char* operation, const std::string& path, int error)
{
    throw boost::filesystem::filesystem_error(operation, path,
                                              boost::system::error_code(error, boost::system::system_category()));
}

void log_info(const std::string& text)
{
    if (nv::log_enabled(nv::log_info))
        nv::log_message(nv::log_info, text);
}

}  // namespace


ipc_server_t::ipc_server_t(application_t& application)
    : application_(application), config_slot_(application.config_applied().connect([this] { reconfigure(); }))
{
}

ipc_server_t::~ipc_server_t()
{
    try {
        stop();
    } catch (const std::exception& e) {
        nv::log_message(nv::log_error, std::string("Server: ") + nv::log_text(e));
    }
    config_slot_.disconnect();
}

void ipc_server_t::reconfigure()
{
    const std::string& configured = application_.config().client_socket_path();
    // Compared element by element, so "/run/x//s" and "/run/x/s" are one path.
    if (boost::filesystem::path(configured) == boost::filesystem::path(path_))
        return;
    stop();
    try {
        start(configured);
    } catch (const boost::system::system_error& e) {
        application_.check_restart_needed(e);
        nv::log_message(nv::log_error, std::string("Server: ") + nv::log_text(e) + ": " + nv::quoted_path(configured));
        throw nv::EC_BAD_CONFIG;
    }
    start_accept();
}

void ipc_server_t::start(const std::string& path)
{
    path_ = path;
    ::unlink(path.c_str());

    auto acceptor = std::make_shared<acceptor_t>(application_.event_loop());
    boost::system::error_code error;
    acceptor->open(stream_protocol(), error);
    if (error)
        nv::throw_system_error(error, "open");
    if (path.size() > max_socket_path)
        nv::throw_system_error(boost::system::error_code(ENAMETOOLONG, boost::system::system_category()), "bind");
    acceptor->bind(stream_protocol::endpoint(path), error);
    if (error)
        throw boost::filesystem::filesystem_error("bind", path, error);
    // Every local user's programs may ask, whatever the daemon's umask.
    if (::chmod(path.c_str(), 0666) != 0)
        throw_file_error("chmod", path, errno);
    acceptor->listen(128, error);
    if (error)
        nv::throw_system_error(error, "listen");
    acceptor_ = std::move(acceptor);
    log_info("Server on " + nv::quoted_path(path) + " started");
}

void ipc_server_t::stop()
{
    if (!acceptor_)
        return;
    const std::shared_ptr<acceptor_t> acceptor = std::move(acceptor_);
    boost::system::error_code error;
    acceptor->close(error);
    ::unlink(path_.c_str());
    if (error)
        nv::throw_system_error(error, "close");
    log_info("Server on " + nv::quoted_path(path_) + " stopped");
}

void ipc_server_t::start_accept()
{
    auto socket = std::make_shared<cf_basic_ipc_link_t::socket_t>(application_.event_loop());
    // The handler holds the acceptor it was started on. Once that acceptor is
    // closed (the server stopped, moved or went away) the handler touches
    // nothing of the server; a connection accepted just before is served all
    // the same.
    acceptor_->async_accept(*socket, [this, &application = application_, acceptor = acceptor_,
                                      socket](const boost::system::error_code& error) {
        if (!acceptor->is_open()) {
            if (!error)
                client_tie_t::create(application, socket);
            return;
        }
        on_accept(error, socket);
    });
}

namespace {

// Failures of one accept that say nothing about the listening socket: the
// process or the system is out of descriptors or memory for the moment, or
// the client gave up before it was accepted. Local users must not be able to
// end the daemon by opening connections.
bool passing_accept_failure(const boost::system::error_code& error)
{
    namespace errc = boost::system::errc;
    return error == errc::too_many_files_open || error == errc::too_many_files_open_in_system ||
           error == errc::no_buffer_space || error == errc::not_enough_memory || error == errc::connection_aborted;
}

// Pause before accepting again when descriptors or memory ran out, so that
// closing connections can free some instead of the loop spinning.
constexpr std::chrono::milliseconds accept_retry_delay(100);

}  // namespace

void ipc_server_t::on_accept(const boost::system::error_code& error,
                             std::shared_ptr<cf_basic_ipc_link_t::socket_t> socket)
{
    if (error == boost::system::errc::operation_canceled)
        return;
    if (!error) {
        client_tie_t::create(application_, std::move(socket));
    } else if (passing_accept_failure(error)) {
        if (nv::log_enabled(nv::log_warning))
            nv::log_message(nv::log_warning, "Server: accept: " + error.message());
        if (error != boost::system::errc::connection_aborted) {
            auto timer = std::make_shared<boost::asio::steady_timer>(application_.event_loop(), accept_retry_delay);
            timer->async_wait([this, acceptor = acceptor_, timer](const boost::system::error_code&) {
                if (acceptor->is_open())
                    start_accept();
            });
            return;
        }
    } else if (error != boost::system::errc::invalid_argument) {
        nv::throw_system_error(error, "Server: accept");
    }
    if (acceptor_)
        start_accept();
}

}  // namespace uc
