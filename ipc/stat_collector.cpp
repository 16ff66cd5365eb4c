#include "ipc/stat_collector.h"

#include <chrono>
#include <cstdlib>

#include "common/exception.h"
#include "ipc/client_count.h"
#include "ipc/configd_tie.h"

namespace uc {

stat_collector_t::stat_collector_t(boost::asio::io_context& event_loop, configd_tie_t& configd)
    : timer_(event_loop), configd_(configd)
{
    client_count_slot_ = client_count_signal().connect([this](int delta) { on_client_count(delta); });
    arm_timer();
}

void stat_collector_t::on_client_count(int delta)
{
    if (delta > 0)
        in_ += delta;
    else
        out_ += -static_cast<std::int64_t>(delta);
}

void stat_collector_t::report()
{
    configd_.send_stat(static_cast<std::uint32_t>(base_), static_cast<std::uint32_t>(in_),
                       static_cast<std::uint32_t>(out_));
    base_ = base_ + in_ - out_;
    in_ = 0;
    out_ = 0;
}

void stat_collector_t::arm_timer()
{
    using clock = std::chrono::steady_clock;
    const clock::time_point now = clock::now();
    const clock::duration period = std::chrono::seconds(1);
    timer_.expires_at(now > clock::time_point::max() - period ? clock::time_point::max() : now + period);
    // The timer is a member: its wait is cancelled before the collector goes,
    // and a cancelled wait is never run once the event loop has stopped.
    timer_.async_wait([this](const boost::system::error_code& error) {
        if (error)
            nv::throw_system_error(error, "Stat timer");
        report();
        arm_timer();
    });
}

}  // namespace uc
