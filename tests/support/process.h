// Starts a program (or a function in a forked child) as a child process with a
// chosen environment and inherited descriptors, captures its standard output
// and error through pipes, and waits for it with a time limit. Used by every
// test that exercises a real executable.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace nv::test {

using namespace std::chrono_literals;

struct process_options_t {
    // Program to execute (a path; PATH is not searched).
    std::string program;
    // Full argument vector, argv[0] included. Empty: { program }.
    std::vector<std::string> argv;
    // Variables set in the child, replacing inherited ones of the same name.
    std::map<std::string, std::string> set_env;
    // Variables removed from the child's environment.
    std::vector<std::string> unset_env;
    // Start from an empty environment instead of the test's own.
    bool clear_env = false;
    // Working directory of the child; empty keeps the test's.
    std::string cwd;
    // Descriptors passed on: child descriptor number <- descriptor of this process.
    std::vector<std::pair<int, int>> inherit;
    // Data written to the child's standard input, which is then closed. Without
    // it, standard input is /dev/null.
    std::optional<std::string> stdin_data;
};

struct process_result_t {
    bool exited = false;      // ended by exit()/_exit()
    int exit_status = -1;     // valid when exited
    int signal = 0;           // the terminating signal, when not exited
    bool timed_out = false;   // killed by the time limit
    std::string out;          // all of standard output
    std::string err;          // all of standard error
};

// One running child. Destruction kills (SIGKILL) and reaps a child still running.
class child_process_t {
public:
    // Starts the program; throws std::runtime_error if it cannot be started
    // (a failing exec shows as exit status 127 with a message on standard error).
    static child_process_t start(const process_options_t& options);
    // Runs the function in a forked child (the same program image) whose exit
    // status is the function's result; only environment, cwd, descriptors and
    // stdin of the options are used.
    static child_process_t fork_function(const std::function<int()>& body, const process_options_t& options = {});

    child_process_t(child_process_t&& other) noexcept;
    child_process_t& operator=(child_process_t&&) = delete;
    ~child_process_t();

    pid_t pid() const noexcept { return pid_; }
    bool running() const noexcept { return !status_.has_value(); }

    // Sends a signal to the child (no-op once it has been reaped).
    void send_signal(int signal);

    // Reads what is available within the time limit; returns false if the
    // output streams are both closed.
    bool pump(std::chrono::milliseconds limit);
    // Reads until the text appears on standard output (or error); true if it did.
    bool wait_for_out(const std::string& text, std::chrono::milliseconds limit = 30s);
    bool wait_for_err(const std::string& text, std::chrono::milliseconds limit = 30s);
    // Output captured so far.
    const std::string& out() const noexcept { return out_; }
    const std::string& err() const noexcept { return err_; }

    // Waits for the end of the child and of its output; on timeout kills it.
    process_result_t wait(std::chrono::milliseconds limit = 60s);

private:
    child_process_t() = default;
    bool wait_for(const std::string& text, const std::string& stream, std::chrono::milliseconds limit);
    bool reap(bool block);
    void close_pipes() noexcept;

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::optional<int> status_;
    std::string out_;
    std::string err_;
};

// Starts, waits (killing at the limit) and returns everything.
process_result_t run_process(const process_options_t& options, std::chrono::milliseconds limit = 60s);

// Forks, runs the function in the child, waits and returns everything.
process_result_t run_function(const std::function<int()>& body, const process_options_t& options = {},
                              std::chrono::milliseconds limit = 60s);

// Path of a program built into the build's bin directory.
std::string bin_path(const std::string& name);

// Runs a program of the build's bin directory with the arguments (argv[0] is
// its name) and returns everything.
process_result_t run_program(const std::string& name, const std::vector<std::string>& args,
                             std::chrono::milliseconds limit = 60s);

// A readable description of a result for failure messages.
std::string describe(const process_result_t& result);

}  // namespace nv::test
