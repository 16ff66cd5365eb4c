#include "tests/support/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/time_scale.h"

extern char** environ;

namespace nv::test {

namespace {

using clock_type = std::chrono::steady_clock;

// Descriptors are moved this high before being placed, so that a source never
// collides with the number it or another one is placed at.
constexpr int parking_base = 500;

[[noreturn]] void child_fail(const char* what) noexcept
{
    const int error = errno;
    const char* reason = std::strerror(error);
    ssize_t ignored = ::write(STDERR_FILENO, what, std::strlen(what));
    ignored = ::write(STDERR_FILENO, ": ", 2);
    ignored = ::write(STDERR_FILENO, reason, std::strlen(reason));
    ignored = ::write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    ::_exit(127);
}

struct pipe_t {
    int read = -1;
    int write = -1;
};

pipe_t make_pipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    return {fds[0], fds[1]};
}

std::vector<std::string> environment_of(const process_options_t& options)
{
    std::set<std::string> removed(options.unset_env.begin(), options.unset_env.end());
    for (const auto& [name, value] : options.set_env)
        removed.insert(name);
    std::vector<std::string> result;
    if (!options.clear_env) {
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (!removed.count(text.substr(0, text.find('='))))
                result.push_back(text);
        }
    }
    for (const auto& [name, value] : options.set_env)
        result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers_of(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// In the child: places every (target <- source) descriptor; async-signal-safe.
void place_descriptors(const std::vector<std::pair<int, int>>& mapping) noexcept
{
    std::vector<int> parked;
    parked.reserve(mapping.size());
    for (const auto& [target, source] : mapping) {
        const int moved = ::fcntl(source, F_DUPFD_CLOEXEC, parking_base);
        if (moved < 0)
            child_fail("fcntl(F_DUPFD)");
        parked.push_back(moved);
    }
    for (std::size_t i = 0; i < mapping.size(); ++i) {
        if (::dup2(parked[i], mapping[i].first) < 0)
            child_fail("dup2");
    }
}

}  // namespace

child_process_t child_process_t::start(const process_options_t& options)
{
    auto args = options.argv.empty() ? std::vector<std::string>{options.program} : options.argv;
    auto env = environment_of(options);
    auto arg_pointers = pointers_of(args);
    auto env_pointers = pointers_of(env);
    const std::string failure = "execve " + options.program;
    // Everything the child needs exists before fork: it calls only async-signal-safe functions.
    return fork_function(
        [&]() -> int {
            ::execve(options.program.c_str(), arg_pointers.data(), env_pointers.data());
            child_fail(failure.c_str());
        },
        [&] {
            process_options_t placement = options;
            placement.set_env.clear();
            placement.unset_env.clear();
            placement.clear_env = false;
            return placement;
        }());
}

child_process_t child_process_t::fork_function(const std::function<int()>& body, const process_options_t& options)
{
    pipe_t out = make_pipe();
    pipe_t err = make_pipe();
    pipe_t in;
    if (options.stdin_data) {
        if (options.stdin_data->size() > 32768)
            throw std::runtime_error("stdin_data is limited to what a pipe holds");
        in = make_pipe();
    } else {
        in.read = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (in.read < 0)
            throw std::runtime_error("open /dev/null");
    }
    std::vector<std::pair<int, int>> mapping = {{STDIN_FILENO, in.read}, {STDOUT_FILENO, out.write},
                                                {STDERR_FILENO, err.write}};
    mapping.insert(mapping.end(), options.inherit.begin(), options.inherit.end());
    std::vector<std::string> env = environment_of(options);
    const bool change_env = options.clear_env || !options.set_env.empty() || !options.unset_env.empty();

    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        place_descriptors(mapping);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0)
            child_fail("chdir");
        if (change_env) {
            ::clearenv();
            for (const auto& entry : env) {
                const auto equals = entry.find('=');
                ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
            }
        }
        int status = 126;
        try {
            status = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "uncaught exception in the child: %s\n", e.what());
            ::_exit(126);
        }
        std::exit(status);
    }

    child_process_t child;
    child.pid_ = pid;
    child.out_fd_ = out.read;
    child.err_fd_ = err.read;
    ::close(out.write);
    ::close(err.write);
    ::close(in.read);
    if (options.stdin_data) {
        const std::string& data = *options.stdin_data;
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(in.write, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        ::close(in.write);
    }
    return child;
}

child_process_t::child_process_t(child_process_t&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_fd_(std::exchange(other.out_fd_, -1)),
      err_fd_(std::exchange(other.err_fd_, -1)),
      status_(std::exchange(other.status_, 0)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_))
{
}

child_process_t::~child_process_t()
{
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    close_pipes();
}

void child_process_t::close_pipes() noexcept
{
    for (int* fd : {&out_fd_, &err_fd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void child_process_t::send_signal(int signal)
{
    if (pid_ > 0 && !status_)
        ::kill(pid_, signal);
}

bool child_process_t::reap(bool block)
{
    if (status_)
        return true;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        if (done == pid_) {
            status_ = status;
            return true;
        }
        if (done < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool child_process_t::pump(std::chrono::milliseconds limit)
{
    std::vector<pollfd> fds;
    for (int fd : {out_fd_, err_fd_}) {
        if (fd >= 0)
            fds.push_back({fd, POLLIN, 0});
    }
    if (fds.empty())
        return false;
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(limit.count()));
    if (ready <= 0)
        return true;
    for (const auto& entry : fds) {
        if (!(entry.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buffer[8192];
        const ssize_t n = ::read(entry.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        int& fd = entry.fd == out_fd_ ? out_fd_ : err_fd_;
        std::string& text = entry.fd == out_fd_ ? out_ : err_;
        if (n <= 0) {
            ::close(fd);
            fd = -1;
        } else {
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

bool child_process_t::wait_for(const std::string& text, const std::string& stream, std::chrono::milliseconds limit)
{
    const auto deadline = clock_type::now() + scaled(limit);
    while (stream.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(100))))
            return stream.find(text) != std::string::npos;
    }
    return true;
}

bool child_process_t::wait_for_out(const std::string& text, std::chrono::milliseconds limit)
{
    return wait_for(text, out_, limit);
}

bool child_process_t::wait_for_err(const std::string& text, std::chrono::milliseconds limit)
{
    return wait_for(text, err_, limit);
}

process_result_t child_process_t::wait(std::chrono::milliseconds limit)
{
    const auto deadline = clock_type::now() + scaled(limit);
    std::optional<clock_type::time_point> exited_at;
    process_result_t result;
    for (;;) {
        const bool open = out_fd_ >= 0 || err_fd_ >= 0;
        if (reap(false) && !exited_at)
            exited_at = clock_type::now();
        if (!open && status_)
            break;
        // A descendant may keep the pipes open after the child is gone: give up on them after a while.
        if (exited_at && clock_type::now() - *exited_at > 5s)
            break;
        if (clock_type::now() >= deadline) {
            result.timed_out = true;
            ::kill(pid_, SIGKILL);
            reap(true);
            break;
        }
        if (open)
            pump(std::chrono::milliseconds(50));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Whatever is already in the pipes still belongs to the result.
    for (int round = 0; round < 10000; ++round) {
        pollfd probe[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (::poll(probe, 2, 0) <= 0 || !pump(std::chrono::milliseconds(0)))
            break;
    }
    close_pipes();
    result.out = out_;
    result.err = err_;
    if (status_) {
        if (WIFEXITED(*status_)) {
            result.exited = true;
            result.exit_status = WEXITSTATUS(*status_);
        } else if (WIFSIGNALED(*status_)) {
            result.signal = WTERMSIG(*status_);
        }
    }
    return result;
}

process_result_t run_process(const process_options_t& options, std::chrono::milliseconds limit)
{
    return child_process_t::start(options).wait(limit);
}

process_result_t run_function(const std::function<int()>& body, const process_options_t& options,
                              std::chrono::milliseconds limit)
{
    return child_process_t::fork_function(body, options).wait(limit);
}

std::string bin_path(const std::string& name) { return std::string(NORVA_BIN_DIR) + "/" + name; }

process_result_t run_program(const std::string& name, const std::vector<std::string>& args,
                             std::chrono::milliseconds limit)
{
    process_options_t options;
    options.program = bin_path(name);
    options.argv = {name};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    return run_process(options, limit);
}

std::string describe(const process_result_t& result)
{
    std::string text;
    if (result.timed_out)
        text = "timed out; ";
    if (result.exited)
        text += "exited with status " + std::to_string(result.exit_status);
    else if (result.signal)
        text += "killed by signal " + std::to_string(result.signal);
    else
        text += "not reaped";
    text += "\n--- stdout ---\n" + result.out + "--- stderr ---\n" + result.err;
    return text;
}

}  // namespace nv::test
