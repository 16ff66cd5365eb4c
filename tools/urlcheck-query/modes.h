// The two things urlcheck-query does: answer for a list of URLs, or load the
// daemon as a benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/urlcheck-query/client.h"

namespace query {

struct query_options_t {
    std::string socket_path;
    request_options_t request;
    bool json = false;
};

// Prints one verdict per URL in input order; returns the exit status.
// Throws failure_t when the daemon cannot be reached or goes away.
int run_query(const query_options_t& options, const std::vector<std::string>& urls);

struct bench_options_t {
    std::string socket_path;
    request_options_t request;
    unsigned connections = 8;
    unsigned depth = 32;
    double duration_seconds = 10;
    // Stops after this many checks instead (0: by duration).
    std::uint64_t count = 0;
    // Checks per second over all connections; 0: as fast as possible.
    double rate = 0;
};

// Runs the load and prints throughput, latency percentiles and errors.
int run_bench(const bench_options_t& options, const std::vector<std::string>& urls);

}  // namespace query
