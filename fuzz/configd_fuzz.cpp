// Fuzzes the ConfigD link: the real link adopts one end of a socket pair as it
// adopts the inherited descriptor, and the input arrives from the other end as
// the raw byte stream ConfigD sends (length prefixes included), followed by
// the end of the stream. A waiter for CloudD's socket path is registered first
// so that path answers have someone to reach, and the application-information
// signal is read the way the CloudD holder reads it. Whatever happens, the
// link must end the daemon the one way it may: with an nv::ErrorCode.
#include "check/connection_holder.h"
#include "fuzz/support/fuzz_application.h"
#include "fuzz/support/peer.h"
#include "fuzz/support/quiet_log.h"
#include "ipc/configd_tie.h"
#include "proto/configd_urlcheck_ipc.pb.h"

#include <boost/signals2/connection.hpp>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

nv::fuzz::fuzz_application_t& application()
{
    static nv::fuzz::fuzz_application_t instance;
    return instance;
}

void check_request(std::string_view frame)
{
    nv::UrlCheck2ConfigdMessage message;
    if (!message.ParseFromArray(frame.data(), int(frame.size())))
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
    nv::fuzz::fuzz_application_t& app = application();
    boost::asio::io_context& loop = app.event_loop();
    app.applied.clear();
    std::optional<nv::ErrorCode> ended;
    {
        nv::fuzz::peer_t configd(loop, check_request);
        app.configd_link = uc::configd_tie_t::create(app, configd.take_link_descriptor());

        int path_answers = 0;
        // A waiter that asks again, as a caller may, from inside its answer.
        std::function<void(const std::string&, const boost::system::error_code&)> waiter;
        waiter = [&](const std::string&, const boost::system::error_code&) {
            if (++path_answers < 3)
                app.configd().get_socket_path(nv::APP_CLOUDD, waiter);
        };
        app.configd().get_socket_path(nv::APP_CLOUDD, waiter);
        boost::signals2::scoped_connection appinfo_slot = app.configd().appinfo_signal.connect(
            [](const uc::configd_tie_t::appinfo_list_t& list) {
                volatile bool installed = uc::lists_installed(list, nv::APP_CLOUDD);
                (void)installed;
            });

        configd.send({data, size}, true);
        // The stream always ends, so the link always ends the daemon.
        try {
            nv::fuzz::run_until(loop, [] { return false; });
        } catch (const nv::ErrorCode& code) {
            ended = code;
        }
        if (!ended)
            nv::fuzz::hang("ConfigD link");
        app.configd_link->close();
        app.configd_link.reset();
        if (!nv::fuzz::run_until(loop, [] { return true; }))
            nv::fuzz::hang("ConfigD link closing");
    }
    if (!nv::fuzz::run_until(loop, [] { return true; }))
        nv::fuzz::hang("event loop");
    // The only way out of the link for the daemon.
    if (!ended || *ended != nv::EC_MONITOR_IPC_ERROR)
        std::abort();
    return 0;
}
