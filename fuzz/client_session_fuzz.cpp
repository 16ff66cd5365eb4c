// Fuzzes a client session: the real session on one end of a socket pair, the
// input written from the other end as the raw byte stream a client sends
// (length prefixes included), the real check engine behind it with no
// database loaded. Every check must complete exactly once and be answered
// with a well-formed frame while the session is open, and the session must go
// away once the client has hung up.
#include "check/check_engine.h"
#include "fuzz/support/fuzz_application.h"
#include "fuzz/support/peer.h"
#include "fuzz/support/quiet_log.h"
#include "ipc/client_count.h"
#include "ipc/client_tie.h"
#include "ipc/configd_tie.h"
#include "proto/urlcheck_client_ipc.pb.h"

#include <boost/signals2/connection.hpp>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

// Lives for the whole run: one worker thread, as in the daemon, and a ConfigD
// link whose peer only listens (the check engine needs the link).
struct harness_t {
    harness_t()
    {
        application.configd_link = uc::configd_tie_t::create(application, configd.take_link_descriptor());
        engine = std::make_unique<uc::check_engine_t>(application);
        counter = std::make_unique<nv::fuzz::counting_checker_t>(*engine);
        application.checker = counter.get();
        sessions_slot = uc::client_count_signal().connect([this](int change) { sessions += change; });
    }

    nv::fuzz::fuzz_application_t application;
    nv::fuzz::peer_t configd{application.event_loop(), nullptr};
    std::unique_ptr<uc::check_engine_t> engine;
    std::unique_ptr<nv::fuzz::counting_checker_t> counter;
    int sessions = 0;
    boost::signals2::scoped_connection sessions_slot;
};

harness_t& harness()
{
    static harness_t instance;
    return instance;
}

void check_answer(std::string_view frame)
{
    uc::ServerMessage answer;
    if (!answer.ParseFromArray(frame.data(), int(frame.size())) || !answer.has_serial() || !answer.has_url_result())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::signal(SIGPIPE, SIG_IGN);
    nv::fuzz::install_quiet_log();
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    harness_t& h = harness();
    boost::asio::io_context& loop = h.application.event_loop();
    {
        nv::fuzz::peer_t client(loop, check_answer);
        uc::client_tie_t::create(h.application, client.take_link_end());
        const std::size_t completed_before = h.counter->completed();
        client.send({data, size}, false);
        // Everything read and every check answered, or the session has hung up
        // on us (its answers are dropped then).
        const bool settled = nv::fuzz::run_until(loop, [&] {
            return (client.sent() || client.link_closed()) && client.unread_by_link() == 0
                && h.counter->in_progress() == 0
                && (client.link_closed() || client.frames() == h.counter->completed() - completed_before);
        });
        if (!settled)
            nv::fuzz::hang("client session reading");
        // The client hangs up: the session must close and go.
        client.shut_sending();
        if (!nv::fuzz::run_until(loop, [&] { return client.link_closed() && h.counter->in_progress() == 0 && h.sessions == 0; }))
            nv::fuzz::hang("client session closing");
    }
    // Completions of the peer's own operations.
    if (!nv::fuzz::run_until(loop, [] { return true; }))
        nv::fuzz::hang("event loop");
    return 0;
}
