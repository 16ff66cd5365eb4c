// Fuzzes the CloudD connection: the real connection on one end of a socket
// pair with three checks in flight (serials 0 to 2), the input arriving from
// the other end as the raw byte stream CloudD sends (length prefixes
// included), followed by the end of the stream. Every check must complete
// exactly once, with no category outside its mask, and the connection must go
// away once it is dropped.
#include "check/cloudd_connection.h"
#include "fuzz/support/fuzz_application.h"
#include "fuzz/support/peer.h"
#include "fuzz/support/quiet_log.h"
#include "nvs/url/url.h"
#include "proto/cloudd_client_ipc.pb.h"

#include <boost/signals2/connection.hpp>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

using nv::nvs::url_t;

struct request_t {
    std::shared_ptr<const url_t> url;
    nv::nvs::category_set_t mask;
};

std::vector<request_t> make_requests()
{
    nv::nvs::address_set_t addresses;
    for (const char* text : {"198.51.100.23", "2001:db8::1", "fe80::1%1", "2001:db8::2%3"})
        if (auto address = nv::nvs::parse_ip_address(text))
            addresses.insert(*address);
    return {
        {std::make_shared<const url_t>("http://www.casino.example/play?q=poker"), 0xFFFFFFFFu},
        {std::make_shared<const url_t>("xn--bcher-kva.example/a b?x=%zz", std::move(addresses)), 0x4u},
        {std::make_shared<const url_t>(""), 0x20000000u},
    };
}

nv::fuzz::fuzz_application_t& application()
{
    static nv::fuzz::fuzz_application_t instance;
    return instance;
}

void check_request(std::string_view frame)
{
    cl::ClientMessage message;
    if (!message.ParseFromArray(frame.data(), int(frame.size())) || message.tag() != cl::ClientMessage::CHECK_URL_REQUEST
        || !message.has_serial() || !message.has_url())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::signal(SIGPIPE, SIG_IGN);
    nv::fuzz::install_quiet_log();
    application();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::vector<request_t> requests = make_requests();
    nv::fuzz::fuzz_application_t& app = application();
    boost::asio::io_context& loop = app.event_loop();

    std::vector<int> completions(requests.size() + 1, 0);
    std::weak_ptr<uc::cloudd_connection_t> watch;
    bool extra_sent = false;
    {
        nv::fuzz::peer_t cloudd(loop, check_request);
        auto connection = std::make_shared<uc::cloudd_connection_t>(app);
        watch = connection;
        connection->attach_socket(cloudd.take_link_end());
        connection->start_reading();
        // As the holder does: the connection is dropped when it closes.
        boost::signals2::scoped_connection closed_slot = connection->closed.connect([&] { connection.reset(); });

        std::function<uc::cloudd_connection_t::callback_t(std::size_t)> complete = [&](std::size_t index) {
            return [&, index](const nv::nvs::report_t& report, const boost::system::error_code& error) {
                ++completions[index];
                const auto mask = index < requests.size() ? requests[index].mask : 0xFFFFFFFFu;
                if ((report.categories & ~mask) != 0 || !report.legal_url.empty() || (error && report.categories != 0))
                    std::abort();
                // A caller may start another check from inside an answer.
                if (index == 0 && !extra_sent && connection && connection->is_open()) {
                    extra_sent = true;
                    connection->check(*requests[0].url, 0xFFFFFFFFu, complete(requests.size()));
                }
            };
        };
        for (std::size_t i = 0; i < requests.size(); ++i)
            connection->check(*requests[i].url, requests[i].mask, complete(i));

        cloudd.send({data, size}, true);
        // The stream always ends, so the connection always closes and goes.
        if (!nv::fuzz::run_until(loop, [&] { return watch.expired() || (cloudd.link_closed() && !connection); }))
            nv::fuzz::hang("CloudD connection");
        closed_slot.disconnect();
        connection.reset();
        if (!nv::fuzz::run_until(loop, [&] { return watch.expired(); }))
            nv::fuzz::hang("CloudD connection going");
    }
    if (!nv::fuzz::run_until(loop, [] { return true; }))
        nv::fuzz::hang("event loop");
    for (std::size_t i = 0; i < requests.size(); ++i)
        if (completions[i] != 1)
            std::abort();
    if (completions.back() != (extra_sent ? 1 : 0))
        std::abort();
    return 0;
}
