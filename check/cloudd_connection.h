// One connection to CloudD: sends URL checks, matches the answers to them by
// serial and cuts each verdict to the categories asked for. Closes itself
// after ten idle seconds; checks still pending when it goes away fail with
// the operation-aborted code, so that their callers can look elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/signals2/signal.hpp>

#include "check/ticker.h"
#include "ipc/basic_ipc_link.h"
#include "nvs/index/category.h"
#include "nvs/report.h"
#include "proto/application.pb.h"

namespace nv::nvs {
class url_t;
}

namespace uc {

class application_t;

class cloudd_connection_t : public cf_basic_ipc_link_t, public std::enable_shared_from_this<cloudd_connection_t> {
public:
    using callback_t = std::function<void(const nv::nvs::report_t&, const boost::system::error_code&)>;

    // The component whose socket path ConfigD is asked for.
    static constexpr nv::Application application = nv::APP_CLOUDD;

    // Connects synchronously to the socket path and starts reading. Throws a
    // file-system error "connect" with the path when the connection fails.
    static std::shared_ptr<cloudd_connection_t> connect(application_t& application, const std::string& path);

    // Fails every pending check with the operation-aborted code, in serial order.
    ~cloudd_connection_t() override;

    // Sends one check; the callback is called exactly once, later, on the
    // event-loop thread (success with the categories of the mask CloudD found,
    // or a failure). Throws EC_BAD_MESSAGE_SIZE when the request is too large
    // to send; nothing is stored then and the callback is not called.
    void check(const nv::nvs::url_t& url, nv::nvs::category_set_t mask, callback_t callback);

    // Closes the socket and emits `closed`.
    void close();
    // Closes the socket only: for the holder, which drops the connection itself.
    void close_quietly() noexcept { close_socket(); }

    // Emitted when the connection closes itself (idle) or fails.
    boost::signals2::signal<void()> closed;

    // Checks sent and not answered yet.
    std::size_t pending() const noexcept { return pending_.size(); }
    // The identity used in log lines (the object's address).
    std::string identity() const;

    // Use connect().
    explicit cloudd_connection_t(application_t& application);

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& input) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }

private:
    struct pending_t {
        callback_t callback;
        nv::nvs::category_set_t mask;
    };

    void handle_message(google::protobuf::io::ZeroCopyInputStream& input);

    ticker_t ticker_;
    std::map<std::uint32_t, pending_t> pending_;
    std::uint32_t next_serial_ = 0;
};

// The category bits of CloudD's category values (value v of 1 to 17 is bit
// v-1, the black list bit 29; other values add nothing).
nv::nvs::category_set_t category_mask_of_values(const google::protobuf::RepeatedField<int>& values);

}  // namespace uc
