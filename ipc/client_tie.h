// One client connection: reads CHECK_URL_REQUEST messages, hands each check
// to the application's checker and answers with CHECK_URL_RESPONSE in the
// order the checks finish. Anything malformed from the client closes its
// connection; the daemon goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ipc/basic_ipc_link.h"
#include "ipc/frame.h"
#include "nvs/index/category.h"
#include "nvs/report.h"

namespace google::protobuf {
template <typename T>
class RepeatedField;
}

namespace uc {

class application_t;
class ClientMessage;
class ServerMessage;
class UrlResult;

// Answers a client may leave unread before its connection is closed: room for
// one frame of the largest message. A client that keeps asking but never
// reads would otherwise make the daemon hold its answers without end.
inline constexpr std::uint32_t max_unsent_client_output = nv::max_ipc_message_size + nv::ipc_frame_header_size;

class client_tie_t : public cf_basic_ipc_link_t, public std::enable_shared_from_this<client_tie_t> {
public:
    using socket_ptr = std::shared_ptr<socket_t>;

    // Names the session, counts it in, attaches the connected socket and starts
    // reading. The session then lives as long as its socket operations do.
    // Past `max_unsent_output` bytes of unsent answers the connection is closed
    // with a Warning.
    static void create(application_t& application, socket_ptr socket,
                       std::uint32_t max_unsent_output = max_unsent_client_output);

    // Logs "Destroyed" and counts the session out.
    ~client_tie_t() override;

    const std::string& name() const noexcept { return name_; }

    // Use create().
    client_tie_t(application_t& application, std::string name);

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& input) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }

private:
    void dispatch(google::protobuf::io::ZeroCopyInputStream& input);
    void on_check_url_request(ClientMessage&& request);
    // Builds the answer in the session's reusable message and queues it.
    void send_response(std::uint32_t serial, const nv::nvs::report_t& report, const boost::system::error_code& error);
    void log_debug(const char* event) const;

    application_t& application_;
    std::string name_;
    // One of each per session, parsed into and built in again and again, so
    // that their strings and lists keep their storage from one check to the
    // next. Parsing clears every field first; nothing of a previous request
    // or answer survives into the next.
    std::unique_ptr<ClientMessage> request_;
    std::unique_ptr<ServerMessage> response_;
};

// The category mask of a request: every category when the list is empty, else
// the bits of the listed values (values without a bit add nothing).
nv::nvs::category_set_t category_mask_of(const google::protobuf::RepeatedField<int>& categories);

// The answer for a finished check: the suite code of the error, the categories
// in the fixed list order, and the legal URL when there is one.
void fill_url_result(const nv::nvs::report_t& report, const boost::system::error_code& error, UrlResult& result);

}  // namespace uc
