// Counts client sessions that open and close and reports the counts to ConfigD
// once a second (MY_STAT_NOTIFICATION).
#pragma once

#include <cstdint>

#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>

namespace boost::asio {
class io_context;
}

namespace uc {

class configd_tie_t;

class stat_collector_t {
public:
    // Zeroes the counters, listens to the client count signal, starts the
    // one-second timer. The link must outlive the collector.
    stat_collector_t(boost::asio::io_context& event_loop, configd_tie_t& configd);

    stat_collector_t(const stat_collector_t&) = delete;
    stat_collector_t& operator=(const stat_collector_t&) = delete;

    // Client count slot: a positive delta counts as opened, any other as closed
    // (its magnitude).
    void on_client_count(int delta);

    // Sends the counts of the period that just ended and starts the next one.
    void report();

private:
    void arm_timer();

    std::int32_t base_ = 0;
    std::int32_t in_ = 0;
    std::int32_t out_ = 0;
    boost::asio::steady_timer timer_;
    boost::signals2::scoped_connection client_count_slot_;
    configd_tie_t& configd_;
};

}  // namespace uc
