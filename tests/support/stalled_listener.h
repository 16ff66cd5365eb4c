// A peer that has stopped accepting: a listening local socket whose backlog is
// full and that never accepts. A blocking connect to it waits forever; a
// non-blocking one fails at once with EAGAIN.
#pragma once

#include <string>
#include <vector>

#include "tests/support/frames.h"

namespace nv::test {

class stalled_listener_t {
public:
    // Listens at the path (a file there is removed first) and fills the backlog.
    explicit stalled_listener_t(std::string path);
    // Closes everything and removes the socket file.
    ~stalled_listener_t();

    stalled_listener_t(const stalled_listener_t&) = delete;
    stalled_listener_t& operator=(const stalled_listener_t&) = delete;

    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    unique_fd_t listener_;
    // Connections waiting in the backlog, never accepted.
    std::vector<unique_fd_t> waiting_;
};

}  // namespace nv::test
