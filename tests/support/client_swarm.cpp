#include "tests/support/client_swarm.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/frames.h"
#include "tests/support/running_daemon.h"

namespace nv::test {

namespace {

[[noreturn]] void throw_errno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void set_non_blocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        throw_errno("fcntl");
}

}  // namespace

client_swarm_t::client_swarm_t(const std::string& socket_path, std::size_t count)
    : epoll_(::epoll_create1(EPOLL_CLOEXEC))
{
    if (epoll_.get() < 0)
        throw_errno("epoll_create1");
    clients_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        clients_[i].fd = connect_client(socket_path);
        set_non_blocking(clients_[i].fd.get());
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, clients_[i].fd.get(), &event) != 0)
            throw_errno("epoll_ctl");
    }
}

client_swarm_t::~client_swarm_t() = default;

void client_swarm_t::queue(std::size_t client, const std::string& bytes)
{
    clients_[client].out += bytes;
    update_interest(client);
}

void client_swarm_t::queue(std::size_t client, const uc::ClientMessage& request)
{
    queue(client, frame_bytes(request.SerializeAsString()));
}

void client_swarm_t::stop_reading(std::size_t client)
{
    clients_[client].reading = false;
    update_interest(client);
}

void client_swarm_t::close(std::size_t client)
{
    forget(clients_[client], end_t::closed_here);
}

void client_swarm_t::forget(client_t& client, end_t end)
{
    // Closing the descriptor also takes it out of the epoll set.
    client.fd.reset();
    client.end = end;
}

void client_swarm_t::update_interest(std::size_t client)
{
    client_t& c = clients_[client];
    if (c.end != end_t::open)
        return;
    epoll_event event{};
    event.events = (c.reading ? EPOLLIN : 0u) | (c.written < c.out.size() ? EPOLLOUT : 0u);
    event.data.u64 = client;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.fd.get(), &event) != 0)
        throw_errno("epoll_ctl");
}

bool client_swarm_t::all_written() const
{
    for (const client_t& c : clients_)
        if (c.end == end_t::open && c.written < c.out.size())
            return false;
    return true;
}

bool client_swarm_t::run(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<epoll_event> events(256);
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const int n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                   static_cast<int>(std::min<long long>(left.count(), 100)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("epoll_wait");
        }
        for (int i = 0; i < n; ++i) {
            const std::size_t client = events[static_cast<std::size_t>(i)].data.u64;
            const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
            if (clients_[client].end != end_t::open)
                continue;
            if (what & (EPOLLIN | EPOLLHUP | EPOLLERR))
                on_readable(client);
            if (clients_[client].end == end_t::open && (what & EPOLLOUT))
                on_writable(client);
        }
    }
    return true;
}

void client_swarm_t::on_writable(std::size_t client)
{
    client_t& c = clients_[client];
    while (c.written < c.out.size()) {
        const ssize_t n = ::send(c.fd.get(), c.out.data() + c.written, c.out.size() - c.written, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break;
            if (errno == EPIPE || errno == ECONNRESET) {
                forget(c, end_t::closed_by_daemon);
                return;
            }
            throw_errno("send");
        }
        c.written += static_cast<std::size_t>(n);
    }
    update_interest(client);
}

void client_swarm_t::on_readable(std::size_t client)
{
    client_t& c = clients_[client];
    if (!c.reading) {
        // Only a hang-up or an error wakes a client that does not read, and
        // they are reported for as long as the descriptor is watched.
        forget(c, end_t::closed_by_daemon);
        return;
    }
    for (;;) {
        char chunk[65536];
        const ssize_t n = ::read(c.fd.get(), chunk, sizeof chunk);
        if (n == 0) {
            cut_frames(c);
            forget(c, end_t::closed_by_daemon);
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break;
            if (errno == ECONNRESET) {
                forget(c, end_t::closed_by_daemon);
                return;
            }
            throw_errno("read");
        }
        c.in.append(chunk, static_cast<std::size_t>(n));
    }
    cut_frames(c);
}

void client_swarm_t::cut_frames(client_t& c)
{
    std::size_t used = 0;
    for (const std::string_view frame : whole_frames(c.in, &used)) {
        uc::ServerMessage answer;
        if (!answer.ParseFromArray(frame.data(), static_cast<int>(frame.size())))
            throw std::runtime_error("client_swarm_t: an answer does not parse as uc.ServerMessage");
        c.answers.push_back(std::move(answer));
        ++answer_count_;
    }
    c.in.erase(0, used);
}

}  // namespace nv::test
