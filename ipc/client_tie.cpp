#include "ipc/client_tie.h"

#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "common/exception.h"
#include "common/log.h"
#include "ipc/application.h"
#include "ipc/client_count.h"
#include "ipc/url_check_context.h"
#include "nvs/url/request.h"
#include "proto/urlcheck_client_ipc.pb.h"

namespace uc {

namespace {

// Sessions are numbered for the log over the whole life of the process.
std::uint64_t session_counter = 0;

// "64 MiB" for the client bound; tests use smaller ones.
std::string size_text(std::uint32_t bytes)
{
    constexpr std::uint32_t mebibyte = 1u << 20;
    if (bytes >= mebibyte)
        return std::to_string(bytes / mebibyte) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string session_name(std::uint64_t number)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[number & 0xF]);
        number >>= 4;
    } while (number != 0);
    return "Client 0x" + hex;
}

}  // namespace

nv::nvs::category_set_t category_mask_of(const google::protobuf::RepeatedField<int>& categories)
{
    if (categories.empty())
        return 0xFFFFFFFFu;
    nv::nvs::category_set_t mask = 0;
    for (const int value : categories)
        mask |= nv::nvs::category_of_url_category(static_cast<nv::UrlCategory>(value));
    return mask;
}

namespace {

struct listed_category_t {
    nv::nvs::category_set_t bit;
    nv::UrlCategory value;
};

// Every category with a wire value, in the fixed list order, made once: an
// answer then lists its categories without building a list of its own.
const std::vector<listed_category_t>& listed_categories()
{
    static const std::vector<listed_category_t> listed = [] {
        std::vector<listed_category_t> all;
        for (const nv::UrlCategory value : nv::nvs::url_categories_of(0xFFFFFFFFu))
            all.push_back({nv::nvs::category_of_url_category(value), value});
        return all;
    }();
    return listed;
}

}  // namespace

void fill_url_result(const nv::nvs::report_t& report, const boost::system::error_code& error, UrlResult& result)
{
    result.set_error(error ? nv::to_error_code_value(error) : nv::EC_OK);
    if (report.categories != 0)
        for (const listed_category_t& category : listed_categories())
            if (report.categories & category.bit)
                result.add_categories(category.value);
    if (!report.legal_url.empty())
        result.set_piracy_legal_url(report.legal_url);
}

client_tie_t::client_tie_t(application_t& application, std::string name)
    : application_(application),
      name_(std::move(name)),
      request_(std::make_unique<ClientMessage>()),
      response_(std::make_unique<ServerMessage>())
{
    max_message_size = nv::max_ipc_message_size;
    // The answers of a batch of finished checks leave in one write.
    coalesce_writes = true;
}

void client_tie_t::create(application_t& application, socket_ptr socket, std::uint32_t max_unsent_output)
{
    auto session = std::make_shared<client_tie_t>(application, session_name(++session_counter));
    session->max_pending_output = max_unsent_output;
    session->log_debug("Created");
    client_count_signal()(1);
    session->attach_socket(std::move(socket));
    session->start_reading();
}

client_tie_t::~client_tie_t()
{
    log_debug("Destroyed");
    client_count_signal()(-1);
}

void client_tie_t::log_debug(const char* event) const
{
    if (nv::log_enabled(nv::log_debug))
        nv::log_message(nv::log_debug, name_ + ": " + event);
}

void client_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& input)
{
    try {
        dispatch(input);
    } catch (const std::exception& e) {
        if (nv::log_enabled(nv::log_warning))
            nv::log_message(nv::log_warning, name_ + ": " + nv::log_text(e));
        close_socket();
    }
}

void client_tie_t::dispatch(google::protobuf::io::ZeroCopyInputStream& input)
{
    if (!request_->ParseFromZeroCopyStream(&input))
        nv::throw_system_error(nv::make_error_code(nv::EC_BAD_MESSAGE_FORMAT), "");
    // CHECK_URL_REQUEST is the only tag: a message with any other value has
    // lost its required tag and failed to parse above.
    log_debug("--> CHECK_URL_REQUEST");
    on_check_url_request(std::move(*request_));
}

void client_tie_t::on_check_url_request(ClientMessage&& request)
{
    if (!request.has_serial() || (!request.has_raw_url() && !request.has_decoded_url()))
        nv::throw_system_error(nv::make_error_code(nv::EC_INVALID_ARGUMENT), "CHECK_URL_REQUEST");
    std::shared_ptr<const nv::nvs::url_t> url = nv::nvs::make_request_url(request);
    const nv::nvs::category_set_t mask = category_mask_of(request.categories());

    url_checker_t* checker = application_.url_checker();
    if (!checker)
        nv::throw_system_error(nv::make_error_code(nv::EC_INVALID_OPERATION), "CHECK_URL_REQUEST");

    // The session may be gone by the time the check finishes; its answer is
    // then dropped.
    auto callback = [weak = weak_from_this(), serial = request.serial()](const nv::nvs::report_t& report,
                                                                          const boost::system::error_code& error) {
        if (const std::shared_ptr<client_tie_t> self = weak.lock())
            self->send_response(serial, report, error);
    };
    checker->check(url_check_context_t(std::move(url), mask, std::move(callback)));
}

void client_tie_t::send_response(std::uint32_t serial, const nv::nvs::report_t& report,
                                 const boost::system::error_code& error)
{
    ServerMessage& message = *response_;
    message.Clear();
    message.set_tag(ServerMessage::CHECK_URL_RESPONSE);
    message.set_serial(serial);
    fill_url_result(report, error, *message.mutable_url_result());
    async_send_message(message);
    log_debug("<-- CHECK_URL_RESPONSE");
}

void client_tie_t::on_error(const boost::system::error_code& error)
{
    if (error == boost::asio::error::eof) {
        log_debug("Disconnected");
    } else if (error == boost::system::errc::no_buffer_space) {
        // The link refused to queue more: the client does not read its answers.
        if (nv::log_enabled(nv::log_warning))
            nv::log_message(nv::log_warning, name_ + ": Output above " + size_text(max_pending_output) +
                                                 " unsent, closing the connection");
    } else if (nv::log_enabled(nv::log_warning)) {
        nv::log_message(nv::log_warning, name_ + ": " + error.message());
    }
    close_socket();
}

}  // namespace uc
