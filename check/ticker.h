// A one-second watchdog on the event loop: counts the seconds its owner has
// been idle and calls a handler once after ten of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/system/error_code.hpp>

namespace boost::asio {
class io_context;
}

namespace uc {

class ticker_t {
public:
    // Starts ticking at once, with the counter at 0 (idle).
    ticker_t(boost::asio::io_context& event_loop, std::function<void()> handler);
    // Cancels the timer; a tick already due never reaches the handler.
    ~ticker_t();

    ticker_t(const ticker_t&) = delete;
    ticker_t& operator=(const ticker_t&) = delete;

    // -1 while the owner is busy (no counting), 0 when it becomes idle.
    void set_counter(std::int32_t value) noexcept;
    std::int32_t counter() const noexcept;

    // The expiry on which the handler is called: the counter reaches it idle.
    static constexpr std::int32_t idle_ticks = 10;

private:
    struct state_t;
    static void arm(const std::shared_ptr<state_t>& state);
    static void on_tick(const std::weak_ptr<state_t>& weak, const boost::system::error_code& error);

    std::shared_ptr<state_t> state_;
};

}  // namespace uc
