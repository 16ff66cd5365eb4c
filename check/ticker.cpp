#include "check/ticker.h"

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/exception.h"

namespace uc {

// Shared with the pending wait only weakly, so that a tick that is already due
// when the ticker goes away finds nothing to call.
struct ticker_t::state_t {
    state_t(boost::asio::io_context& event_loop, std::function<void()> handler)
        : timer(event_loop), handler(std::move(handler))
    {
    }

    boost::asio::steady_timer timer;
    std::function<void()> handler;
    std::int32_t counter = 0;
};

void ticker_t::on_tick(const std::weak_ptr<state_t>& weak, const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    const std::shared_ptr<state_t> state = weak.lock();
    if (!state)
        return;
    if (error)
        nv::throw_system_error(error, "Ticker");
    arm(state);
    if (state->counter < 0)
        return;
    // The handler may destroy the owner and with it the ticker: nothing of
    // the state is touched after the call.
    if (state->counter++ == ticker_t::idle_ticks)
        state->handler();
}

void ticker_t::arm(const std::shared_ptr<state_t>& state)
{
    state->timer.expires_after(std::chrono::seconds(1));
    state->timer.async_wait(
        [weak = std::weak_ptr<state_t>(state)](const boost::system::error_code& error) { on_tick(weak, error); });
}

ticker_t::ticker_t(boost::asio::io_context& event_loop, std::function<void()> handler)
    : state_(std::make_shared<state_t>(event_loop, std::move(handler)))
{
    arm(state_);
}

ticker_t::~ticker_t()
{
    boost::system::error_code ignored;
    state_->timer.cancel(ignored);
}

void ticker_t::set_counter(std::int32_t value) noexcept
{
    state_->counter = value;
}

std::int32_t ticker_t::counter() const noexcept
{
    return state_->counter;
}

}  // namespace uc
