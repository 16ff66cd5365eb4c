#include "tools/urlcheck-configd/daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/exception.h"

extern char** environ;

namespace configd {

daemon_process_t::daemon_process_t(const std::string& executable, int descriptor)
{
    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are allowed.
    const std::string monitor = "COM_NORVA_MONITOR=" + std::to_string(descriptor);
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).starts_with("COM_NORVA_MONITOR="))
            continue;
        environment.push_back(*entry);
    }
    environment.push_back(const_cast<char*>(monitor.c_str()));
    environment.push_back(nullptr);
    char* const argv[] = {const_cast<char*>(executable.c_str()), nullptr};

    if (::access(executable.c_str(), X_OK) != 0)
        nv::throw_errno("cannot run " + executable);

    pid_ = ::fork();
    if (pid_ < 0)
        nv::throw_errno("fork");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &default_action, nullptr);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int flags = ::fcntl(descriptor, F_GETFD);
        if (flags < 0 || ::fcntl(descriptor, F_SETFD, flags & ~FD_CLOEXEC) < 0)
            ::_exit(127);
        ::execve(executable.c_str(), argv, environment.data());
        ::_exit(127);
    }
}

daemon_process_t::~daemon_process_t()
{
    if (reaped_)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

void daemon_process_t::signal(int number) const noexcept
{
    if (!reaped_)
        ::kill(pid_, number);
}

std::optional<int> daemon_process_t::try_reap()
{
    if (reaped_)
        return std::nullopt;
    int status = 0;
    const pid_t pid = ::waitpid(pid_, &status, WNOHANG);
    if (pid != pid_)
        return std::nullopt;
    reaped_ = true;
    return status;
}

int exit_status_of(int wait_status) noexcept
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return 1;
}

}  // namespace configd
