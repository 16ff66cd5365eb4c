#include "ipc/configd_tie.h"

#include <cstdlib>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "common/exception.h"
#include "common/log.h"
#include "ipc/application.h"
#include "proto/configd_urlcheck_ipc.pb.h"

namespace uc {

namespace {

using to_configd_t = nv::UrlCheck2ConfigdMessage;
using from_configd_t = nv::Configd2UrlCheckMessage;

void log_debug(const char* text)
{
    if (nv::log_enabled(nv::log_debug))
        nv::log_message(nv::log_debug, text);
}

}  // namespace

configd_tie_t::configd_tie_t(application_t& application) : application_(application)
{
    max_message_size = nv::max_ipc_message_size;
}

std::shared_ptr<configd_tie_t> configd_tie_t::create(application_t& application, int descriptor)
{
    auto socket = std::make_shared<socket_t>(application.event_loop());
    boost::system::error_code error;
    socket->assign(boost::asio::local::stream_protocol(), descriptor, error);
    if (error)
        nv::throw_system_error(error, "assign");
    auto link = std::make_shared<configd_tie_t>(application);
    link->attach_socket(std::move(socket));
    link->start_reading();
    link->request_config();
    return link;
}

void configd_tie_t::request_config()
{
    to_configd_t message;
    message.set_tag(to_configd_t::GET_CONFIG_REQUEST);
    async_send_message(message);
    log_debug("ConfigD <-- GET_CONFIG_REQUEST");
}

void configd_tie_t::send_info()
{
    to_configd_t message;
    message.set_tag(to_configd_t::MY_INFO_NOTIFICATION);
    message.set_config_revision(config_revision_);
    application_.fill_app_info(*message.mutable_info());
    async_send_message(message);
    log_debug("ConfigD <-- MY_INFO_NOTIFICATION");
}

void configd_tie_t::send_stat(std::uint32_t base, std::uint32_t in, std::uint32_t out)
{
    to_configd_t message;
    message.set_tag(to_configd_t::MY_STAT_NOTIFICATION);
    nv::UrlCheckConnectionStat& connections = *message.mutable_stat()->mutable_connections();
    connections.set_base(base);
    connections.set_in(in);
    connections.set_out(out);
    async_send_message(message);
}

void configd_tie_t::get_socket_path(nv::Application app, socket_path_callback_t callback)
{
    // Only CloudD's address can be asked for; another value is a fault in the
    // caller, not something a peer can cause.
    if (app != nv::APP_CLOUDD)
        std::abort();
    std::list<socket_path_callback_t>& waiters = socket_path_waiters_[app];
    if (waiters.empty()) {
        to_configd_t message;
        message.set_tag(to_configd_t::GET_CLOUDD_REQUEST);
        async_send_message(message);
        log_debug("ConfigD <-- GET_CLOUDD_REQUEST");
    }
    waiters.push_back(std::move(callback));
}

void configd_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& input)
{
    try {
        dispatch(input);
    } catch (const boost::system::system_error& e) {
        nv::log_message(nv::log_error, std::string("ConfigD: ") + nv::log_text(e));
        throw nv::EC_MONITOR_IPC_ERROR;
    }
}

void configd_tie_t::dispatch(google::protobuf::io::ZeroCopyInputStream& input)
{
    from_configd_t message;
    if (!message.ParseFromZeroCopyStream(&input))
        nv::throw_system_error(nv::make_error_code(nv::EC_BAD_MESSAGE_FORMAT), "");

    switch (message.tag()) {
    case from_configd_t::GET_CONFIG_RESPONSE:
        log_debug("ConfigD --> GET_CONTEXT_RESPONSE");
        if (!message.has_config() || !message.has_config_revision())
            nv::throw_system_error(nv::make_error_code(nv::EC_PROTOCOL_VIOLATION), "GET_CONTEXT_RESPONSE");
        config_revision_ = message.config_revision();
        application_.apply_config(message.config());
        send_info();
        break;
    case from_configd_t::APPINFO_NOTIFICATION:
        log_debug("ConfigD --> APPINFO_NOTIFICATION");
        appinfo_signal(message.appinfo());
        break;
    case from_configd_t::GET_CLOUDD_RESPONSE: {
        log_debug("ConfigD --> GET_CLOUDD_RESPONSE");
        if (!message.has_socket_path() && !message.has_error())
            nv::throw_system_error(nv::make_error_code(nv::EC_PROTOCOL_VIOLATION), "");
        // Taken out first: a callback that asks again starts a new round.
        std::list<socket_path_callback_t> waiters;
        if (auto found = socket_path_waiters_.find(nv::APP_CLOUDD); found != socket_path_waiters_.end()) {
            waiters = std::move(found->second);
            socket_path_waiters_.erase(found);
        }
        const boost::system::error_code error =
            message.has_error() ? boost::system::error_code(message.error().code(), nv::proto_error_category())
                                : nv::make_error_code(nv::EC_OK);
        for (const socket_path_callback_t& callback : waiters)
            callback(message.socket_path(), error);
        break;
    }
    }
}

void configd_tie_t::on_error(const boost::system::error_code& error)
{
    const boost::system::error_code reported =
        error == boost::asio::error::eof ? nv::make_error_code(nv::EC_LINK_DISCONNECTED) : error;
    nv::log_message(nv::log_error, "ConfigD: " + reported.message());
    throw nv::EC_MONITOR_IPC_ERROR;
}

}  // namespace uc
