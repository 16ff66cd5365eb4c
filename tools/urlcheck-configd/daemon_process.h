// One run of the daemon: a child process holding one end of a connected Unix
// stream socket pair, named to it by COM_NORVA_MONITOR.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace configd {

class daemon_process_t {
public:
    // Starts the executable in a process group of its own (Ctrl-C in a terminal
    // reaches only urlcheck-configd, which ends the daemon with SIGTERM).
    // `descriptor` is the daemon's end of the pair, inherited under its own
    // number; the caller closes its copy once the child runs. Throws a system
    // error when the executable cannot be run or the fork fails.
    daemon_process_t(const std::string& executable, int descriptor);
    // Kills and reaps a child still running, so that no process is left behind.
    ~daemon_process_t();

    daemon_process_t(const daemon_process_t&) = delete;
    daemon_process_t& operator=(const daemon_process_t&) = delete;

    pid_t pid() const noexcept { return pid_; }
    // Sends a signal to a child that has not been reaped yet.
    void signal(int number) const noexcept;
    // The wait status once the child has ended, without blocking.
    std::optional<int> try_reap();

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// The exit status a shell would report for a wait status (128 + signal number
// for a child killed by a signal).
int exit_status_of(int wait_status) noexcept;

}  // namespace configd
