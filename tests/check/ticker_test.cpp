// The idle ticker on a real event loop: an idle owner's handler runs once,
// 10 to 11 seconds after it became idle; a busy owner's never; a ticker that
// goes away inside its own handler leaves nothing behind.
#include <chrono>
#include <memory>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "check/ticker.h"

namespace nv::test {
namespace {

using clock_type = std::chrono::steady_clock;

TEST(Ticker, IdleOwnerIsToldOnceBusyOwnerNever)
{
    boost::asio::io_context loop;
    const auto start = clock_type::now();
    std::vector<clock_type::time_point> idle_calls;
    int busy_calls = 0;
    int gone_calls = 0;

    uc::ticker_t idle(loop, [&] { idle_calls.push_back(clock_type::now()); });
    uc::ticker_t busy(loop, [&] { ++busy_calls; });
    busy.set_counter(-1);
    // Destroys itself from its handler, as a connection closed when idle does.
    std::unique_ptr<uc::ticker_t> gone;
    gone = std::make_unique<uc::ticker_t>(loop, [&] {
        ++gone_calls;
        gone.reset();
    });

    loop.run_for(std::chrono::milliseconds(12500));

    ASSERT_EQ(idle_calls.size(), 1u);
    const double after = std::chrono::duration<double>(idle_calls[0] - start).count();
    EXPECT_GE(after, 10.0);
    // Ticks may land late on a loaded machine, never early.
    EXPECT_LE(after, 12.4);
    EXPECT_EQ(busy_calls, 0);
    EXPECT_EQ(busy.counter(), -1);
    EXPECT_EQ(gone_calls, 1);
    EXPECT_FALSE(gone);
    EXPECT_GT(idle.counter(), uc::ticker_t::idle_ticks);
}

}  // namespace
}  // namespace nv::test
