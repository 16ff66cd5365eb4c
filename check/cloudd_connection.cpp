#include "check/cloudd_connection.h"

#include <cerrno>
#include <sstream>
#include <utility>

#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem/exception.hpp>

#include "common/exception.h"
#include "common/log.h"
#include "ipc/application.h"
#include "nvs/url/url.h"
#include "proto/cloudd_client_ipc.pb.h"

namespace uc {

namespace {

constexpr std::size_t max_socket_path = 107;

void log_warning(const std::string& text)
{
    if (nv::log_enabled(nv::log_warning))
        nv::log_message(nv::log_warning, text);
}

[[noreturn]] void throw_protocol_violation(const char* check)
{
    nv::throw_system_error(nv::make_error_code(nv::EC_PROTOCOL_VIOLATION),
                           std::string("CHECK_URL_RESPONSE: Check failed: ") + check);
}

}  // namespace

nv::nvs::category_set_t category_mask_of_values(const google::protobuf::RepeatedField<int>& values)
{
    nv::nvs::category_set_t mask = 0;
    for (const int value : values)
        mask |= nv::nvs::category_of_url_category(static_cast<nv::UrlCategory>(value));
    return mask;
}

cloudd_connection_t::cloudd_connection_t(application_t& application)
    : ticker_(application.event_loop(), [this] { close(); })
{
    max_message_size = nv::max_ipc_message_size;
}

cloudd_connection_t::~cloudd_connection_t()
{
    // Taken out first: a callback may start other work that ends here.
    std::map<std::uint32_t, pending_t> pending = std::move(pending_);
    pending_.clear();
    const boost::system::error_code aborted(boost::asio::error::operation_aborted);
    for (auto& [serial, request] : pending)
        request.callback(nv::nvs::report_t{}, aborted);
}

std::shared_ptr<cloudd_connection_t> cloudd_connection_t::connect(application_t& application, const std::string& path)
{
    auto socket = std::make_shared<socket_t>(application.event_loop());
    if (path.size() > max_socket_path)
        throw boost::filesystem::filesystem_error(
            "connect", path, boost::system::error_code(ENAMETOOLONG, boost::system::system_category()));
    boost::system::error_code error;
    socket->open(boost::asio::local::stream_protocol(), error);
    if (error)
        nv::throw_system_error(error, "open");
    // Without waiting: a CloudD that has stopped accepting, its backlog full,
    // would otherwise hold the event loop, and every client with it, until it
    // accepted. A local socket connects at once or fails at once (EAGAIN),
    // and then the checks go to the databases like after any failed connect.
    socket->non_blocking(true, error);
    if (error)
        nv::throw_system_error(error, "open");
    const boost::asio::local::stream_protocol::endpoint endpoint(path);
    if (::connect(socket->native_handle(), endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        const int failure = errno;
        throw boost::filesystem::filesystem_error("connect", path,
                                                  boost::system::error_code(failure, boost::system::system_category()));
    }
    socket->non_blocking(false, error);
    if (error)
        nv::throw_system_error(error, "open");
    auto connection = std::make_shared<cloudd_connection_t>(application);
    connection->attach_socket(std::move(socket));
    connection->start_reading();
    return connection;
}

std::string cloudd_connection_t::identity() const
{
    std::ostringstream text;
    text << static_cast<const void*>(this);
    return text.str();
}

void cloudd_connection_t::check(const nv::nvs::url_t& url, nv::nvs::category_set_t mask, callback_t callback)
{
    ticker_.set_counter(-1);
    const std::uint32_t serial = next_serial_++;

    cl::ClientMessage message;
    message.set_tag(cl::ClientMessage::CHECK_URL_REQUEST);
    message.set_serial(serial);
    cl::Url& request = *message.mutable_url();
    request.set_url(url.str(nv::nvs::url_t::format_t::escaped));
    for (const nv::nvs::ip_address_t& address : url.addresses())
        request.add_address(address.to_string());
    try {
        async_send_message(message);
    } catch (...) {
        // Nothing was sent: the connection is idle again if it was before.
        if (pending_.empty())
            ticker_.set_counter(0);
        throw;
    }
    pending_.emplace(serial, pending_t{std::move(callback), mask});
}

void cloudd_connection_t::on_message(google::protobuf::io::ZeroCopyInputStream& input)
{
    try {
        handle_message(input);
    } catch (const boost::system::system_error& e) {
        log_warning("CloudD " + identity() + ": " + nv::log_text(e));
        on_error(boost::asio::error::eof);
    }
}

void cloudd_connection_t::handle_message(google::protobuf::io::ZeroCopyInputStream& input)
{
    cl::ServerMessage message;
    if (!message.ParseFromZeroCopyStream(&input))
        nv::throw_system_error(nv::make_error_code(nv::EC_BAD_MESSAGE_FORMAT), "");
    if (message.tag() != cl::ServerMessage::CHECK_URL_RESPONSE)
        nv::throw_system_error(nv::make_error_code(nv::EC_INVALID_OPERATION),
                               cl::ServerMessage::ServerMessageTag_Name(message.tag()));
    if (!message.has_serial())
        throw_protocol_violation("rsp.has_serial()");
    if (!message.has_url_result())
        throw_protocol_violation("rsp.has_url_result()");

    const auto found = pending_.find(message.serial());
    if (found == pending_.end())
        return;
    pending_t request = std::move(found->second);
    pending_.erase(found);

    nv::nvs::report_t report;
    boost::system::error_code error;
    const cl::UrlResult& result = message.url_result();
    if (result.result() == nv::EC_OK)
        report.categories = request.mask & category_mask_of_values(result.categories());
    else
        error = boost::system::error_code(result.result(), nv::proto_error_category());
    request.callback(report, error);

    if (pending_.empty())
        ticker_.set_counter(0);
}

void cloudd_connection_t::on_error(const boost::system::error_code& error)
{
    const boost::system::error_code reported =
        error == boost::asio::error::eof ? nv::make_error_code(nv::EC_LINK_DISCONNECTED) : error;
    log_warning("CloudD " + identity() + ": " + reported.message());
    close();
}

void cloudd_connection_t::close()
{
    close_socket();
    closed();
}

}  // namespace uc
