#include "tests/support/stalled_listener.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace nv::test {

namespace {

sockaddr_un address_of(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("stalled_listener_t: path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

}  // namespace

stalled_listener_t::stalled_listener_t(std::string path) : path_(std::move(path))
{
    ::unlink(path_.c_str());
    const sockaddr_un address = address_of(path_);
    listener_ = unique_fd_t(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener_.get() < 0 ||
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0)
        throw std::system_error(errno, std::generic_category(), "stalled_listener_t: listen on " + path_);
    // Connect until the kernel refuses more: then the backlog is full.
    for (int i = 0; i < 64; ++i) {
        unique_fd_t fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (errno == EAGAIN)
                return;
            throw std::system_error(errno, std::generic_category(), "stalled_listener_t: connect");
        }
        waiting_.push_back(std::move(fd));
    }
    throw std::runtime_error("stalled_listener_t: the backlog never filled");
}

stalled_listener_t::~stalled_listener_t()
{
    ::unlink(path_.c_str());
}

}  // namespace nv::test
