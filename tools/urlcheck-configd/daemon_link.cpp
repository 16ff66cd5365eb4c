#include "tools/urlcheck-configd/daemon_link.h"

#include <utility>

#include "common/error.h"

namespace configd {

daemon_link_t::daemon_link_t(message_handler_t on_message, error_handler_t on_error)
    : message_handler_(std::move(on_message)), error_handler_(std::move(on_error))
{
}

void daemon_link_t::start(std::shared_ptr<socket_t> socket)
{
    attach_socket(std::move(socket));
    start_reading();
}

void daemon_link_t::close() noexcept
{
    message_handler_ = nullptr;
    error_handler_ = nullptr;
    close_socket();
}

void daemon_link_t::on_message(google::protobuf::io::ZeroCopyInputStream& input)
{
    nv::UrlCheck2ConfigdMessage message;
    if (!message.ParseFromZeroCopyStream(&input)) {
        on_error(nv::make_error_code(nv::EC_BAD_MESSAGE_FORMAT));
        return;
    }
    if (message_handler_)
        message_handler_(message);
}

void daemon_link_t::on_error(const boost::system::error_code& error)
{
    // The handler may close this link (and so drop the handler): call a copy.
    if (error_handler_t handler = std::exchange(error_handler_, nullptr)) {
        message_handler_ = nullptr;
        close_socket();
        handler(error);
    }
}

}  // namespace configd
