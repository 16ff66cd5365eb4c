#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <unordered_map>

#include "tools/urlcheck-query/modes.h"

namespace query {

namespace {

using clock_type = std::chrono::steady_clock;

struct bench_connection_t {
    explicit bench_connection_t(const std::string& path) : link(path) { link.set_nonblocking(); }

    connection_t link;
    std::string output;
    // serial -> when the check was due to start (its scheduled time when paced,
    // so that a daemon that falls behind shows in the latencies).
    std::unordered_map<std::uint32_t, clock_type::time_point> in_flight;
    std::uint32_t next_serial = 0;
};

double percentile(std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const auto index = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size()))) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

// Writes what the socket takes now; false when the daemon has gone.
bool flush(bench_connection_t& connection)
{
    while (!connection.output.empty()) {
        const ssize_t n = ::send(connection.link.fd(), connection.output.data(), connection.output.size(), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        connection.output.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

int run_bench(const bench_options_t& options, const std::vector<std::string>& urls)
{
    if (urls.empty())
        throw failure_t("--bench needs URLs (--urls FILE, arguments or standard input)");
    std::vector<std::unique_ptr<bench_connection_t>> connections;
    for (unsigned i = 0; i < options.connections; ++i)
        connections.push_back(std::make_unique<bench_connection_t>(options.socket_path));

    const bool paced = options.rate > 0;
    const auto start = clock_type::now();
    const auto end = start + std::chrono::duration_cast<clock_type::duration>(
                                 std::chrono::duration<double>(options.duration_seconds));
    const std::uint64_t limit = options.count;
    std::uint64_t started = 0;
    std::uint64_t finished = 0;
    std::uint64_t errors = 0;
    std::size_t next_url = 0;
    std::size_t round_robin = 0;
    std::deque<clock_type::time_point> owed;  // paced checks due but not yet sent
    std::vector<double> latencies;
    latencies.reserve(1 << 20);

    auto more_wanted = [&](clock_type::time_point now) {
        return limit ? started < limit : now < end;
    };
    auto send_one = [&](bench_connection_t& connection, clock_type::time_point due) {
        const std::uint32_t serial = connection.next_serial++;
        connection_t::append_frame(make_request(serial, urls[next_url], options.request), connection.output);
        next_url = (next_url + 1) % urls.size();
        connection.in_flight.emplace(serial, due);
        ++started;
    };

    for (;;) {
        auto now = clock_type::now();
        if (paced) {
            // Every check whose time has come is owed, whether or not a
            // connection has room for it now.
            while (more_wanted(now)) {
                const auto due = start + std::chrono::duration_cast<clock_type::duration>(
                                             std::chrono::duration<double>(static_cast<double>(started + owed.size()) /
                                                                           options.rate));
                if (due > now || (limit && started + owed.size() >= limit))
                    break;
                owed.push_back(due);
            }
            for (std::size_t tried = 0; !owed.empty() && tried < connections.size(); ++tried) {
                bench_connection_t& connection = *connections[round_robin++ % connections.size()];
                if (connection.in_flight.size() < options.depth) {
                    send_one(connection, owed.front());
                    owed.pop_front();
                    tried = 0;
                }
            }
        } else {
            for (auto& connection : connections)
                while (connection->in_flight.size() < options.depth && more_wanted(now))
                    send_one(*connection, now);
        }
        std::size_t busy = 0;
        for (auto& connection : connections) {
            if (!flush(*connection))
                throw failure_t("the daemon closed the connection");
            busy += connection->in_flight.size();
        }
        if (busy == 0 && owed.empty() && !more_wanted(now))
            break;

        std::vector<pollfd> fds;
        for (auto& connection : connections)
            fds.push_back({connection->link.fd(), static_cast<short>(POLLIN | (connection->output.empty() ? 0 : POLLOUT)), 0});
        // Sleeps until the next paced check is due, to the nanosecond: a
        // millisecond timeout would spin at rates above 1,000 per second and
        // take the processor from the daemon.
        auto timeout = std::chrono::nanoseconds(std::chrono::milliseconds(100));
        if (paced) {
            const auto next_due = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(
                                              static_cast<double>(started + owed.size()) / options.rate));
            timeout = std::clamp(std::chrono::duration_cast<std::chrono::nanoseconds>(next_due - clock_type::now()),
                                 std::chrono::nanoseconds(0), timeout);
        }
        const timespec wait{0, static_cast<long>(timeout.count())};
        if (::ppoll(fds.data(), fds.size(), &wait, nullptr) < 0 && errno != EINTR)
            throw failure_t("poll failed");
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            bench_connection_t& connection = *connections[i];
            const bool open = connection.link.read_some();
            now = clock_type::now();
            while (std::optional<uc::ServerMessage> answer = connection.link.next_answer()) {
                const auto found = connection.in_flight.find(answer->serial());
                if (found == connection.in_flight.end())
                    throw failure_t("the daemon sent an answer that matches no question");
                latencies.push_back(std::chrono::duration<double, std::milli>(now - found->second).count());
                connection.in_flight.erase(found);
                ++finished;
                if (!answer->has_url_result() || answer->url_result().error() != nv::EC_OK)
                    ++errors;
            }
            if (!open)
                throw failure_t("the daemon closed the connection");
        }
    }

    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    std::printf("connections: %u, in flight per connection: %u, rate: %s\n", options.connections, options.depth,
                paced ? (std::to_string(static_cast<long long>(options.rate)) + " checks/s").c_str()
                      : "as fast as possible");
    std::printf("checks: %llu in %.2f s, throughput: %.0f checks/s, errors: %llu\n",
                static_cast<unsigned long long>(finished), seconds, static_cast<double>(finished) / seconds,
                static_cast<unsigned long long>(errors));
    std::printf("latency: p50 %.3f ms, p99 %.3f ms, p99.9 %.3f ms, max %.3f ms\n", percentile(latencies, 50),
                percentile(latencies, 99), percentile(latencies, 99.9), latencies.empty() ? 0.0 : latencies.back());
    return 0;
}

}  // namespace query
