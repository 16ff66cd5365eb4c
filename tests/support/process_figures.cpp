#include "tests/support/process_figures.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

#include <boost/filesystem/operations.hpp>

namespace nv::test {

std::size_t open_descriptors(pid_t pid)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         boost::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++count;
    return count;
}

std::uint64_t status_bytes(pid_t pid, const std::string& name)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    const std::string prefix = name + ":";
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(prefix))
            continue;
        std::istringstream fields(line.substr(prefix.size()));
        std::uint64_t value = 0;
        std::string unit;
        if (!(fields >> value >> unit) || unit != "kB")
            throw std::runtime_error("unexpected line in " + path + ": " + line);
        return value * 1024;
    }
    throw std::runtime_error("no " + name + " in " + path);
}

rlimit descriptor_limits(pid_t pid)
{
    rlimit limits{};
    if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &limits) != 0)
        throw std::system_error(errno, std::generic_category(), "prlimit");
    return limits;
}

scoped_descriptor_limit_t::scoped_descriptor_limit_t(rlim_t soft)
{
    if (::getrlimit(RLIMIT_NOFILE, &original_) != 0)
        throw std::system_error(errno, std::generic_category(), "getrlimit");
    rlimit wanted = original_;
    wanted.rlim_cur = std::min(soft, original_.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &wanted) != 0)
        throw std::system_error(errno, std::generic_category(), "setrlimit");
    soft_ = wanted.rlim_cur;
}

scoped_descriptor_limit_t::~scoped_descriptor_limit_t()
{
    ::setrlimit(RLIMIT_NOFILE, &original_);
}

}  // namespace nv::test
