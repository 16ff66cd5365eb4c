// What the kernel says about a running process: its open descriptors, its
// memory and its descriptor limits, for tests that look for leaks in the
// real daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/resource.h>
#include <sys/types.h>

namespace nv::test {

// Entries of /proc/PID/fd; throws if the process cannot be inspected.
std::size_t open_descriptors(pid_t pid);

// A "Name: N kB" line of /proc/PID/status (VmRSS, RssAnon, ...) in bytes;
// throws if the process or the line is not there.
std::uint64_t status_bytes(pid_t pid, const std::string& name);

// RLIMIT_NOFILE of another process; throws on failure.
rlimit descriptor_limits(pid_t pid);

// Whether this build runs under a sanitizer (NORVA_SANITIZE): everything is
// several times slower, and resident memory includes the sanitizer's own
// (shadow memory, the quarantine of freed blocks), so it says little about
// the program's.
constexpr bool sanitized_build() noexcept
{
#if defined(NORVA_SANITIZED)
    return true;
#else
    return false;
#endif
}

// Sets this process's soft limit of open descriptors (clamped to the hard
// limit) while it lives; programs started meanwhile inherit it.
class scoped_descriptor_limit_t {
public:
    explicit scoped_descriptor_limit_t(rlim_t soft);
    ~scoped_descriptor_limit_t();
    scoped_descriptor_limit_t(const scoped_descriptor_limit_t&) = delete;
    scoped_descriptor_limit_t& operator=(const scoped_descriptor_limit_t&) = delete;

    // The soft limit now in force.
    rlim_t soft() const noexcept { return soft_; }

private:
    rlimit original_{};
    rlim_t soft_ = 0;
};

}  // namespace nv::test
