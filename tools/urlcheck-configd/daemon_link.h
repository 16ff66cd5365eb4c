// urlcheck-configd's end of the socket pair shared with the daemon: the
// ConfigD side of the protocol, framed like every link.
#pragma once

#include <functional>
#include <memory>

#include "ipc/basic_ipc_link.h"
#include "proto/configd_urlcheck_ipc.pb.h"

namespace configd {

class daemon_link_t : public nv::cf_basic_ipc_link_t, public std::enable_shared_from_this<daemon_link_t> {
public:
    using message_handler_t = std::function<void(const nv::UrlCheck2ConfigdMessage&)>;
    // Called once when the link fails: end of stream (the daemon is going),
    // a bad frame, or a message that does not parse.
    using error_handler_t = std::function<void(const boost::system::error_code&)>;

    daemon_link_t(message_handler_t on_message, error_handler_t on_error);

    // Attaches the connected socket and starts reading.
    void start(std::shared_ptr<socket_t> socket);
    // Closes the socket; no handler is called after this.
    void close() noexcept;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& input) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }

private:
    message_handler_t message_handler_;
    error_handler_t error_handler_;
};

}  // namespace configd
