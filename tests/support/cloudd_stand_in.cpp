#include "tests/support/cloudd_stand_in.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ipc/frame.h"
#include "proto/cloudd_client_ipc.pb.h"
#include "tests/support/time_scale.h"

namespace nv::test {

namespace {

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::string response_frame(const cloudd_stand_in_t::rule_t& rule, std::uint32_t serial, bool with_serial)
{
    cl::ServerMessage response;
    response.set_tag(cl::ServerMessage::CHECK_URL_RESPONSE);
    if (with_serial)
        response.set_serial(serial);
    response.mutable_url_result()->set_result(rule.result);
    for (const UrlCategory category : rule.categories)
        response.mutable_url_result()->add_categories(category);
    return frame_bytes(response.SerializeAsString());
}

// What goes on the wire for a request under the rule (actions that send something).
std::string answer_bytes(const cloudd_stand_in_t::rule_t& rule, std::uint32_t serial)
{
    using action_t = cloudd_stand_in_t::action_t;
    switch (rule.action) {
    case action_t::no_serial:
        return response_frame(rule, serial, false);
    case action_t::half_then_close: {
        const std::string frame = response_frame(rule, serial, true);
        return frame.substr(0, frame.size() / 2);
    }
    case action_t::bad_length: {
        std::string header(ipc_frame_header_size, '\0');
        encode_frame_length(rule.length, reinterpret_cast<std::uint8_t*>(header.data()));
        return header;
    }
    case action_t::garbage:
        // A field number 0 is invalid in every protobuf message.
        return frame_bytes(std::string("\x00\x01\x02\xff\xff", 5));
    case action_t::unknown_serial:
        return response_frame(rule, serial + 1000000, true) + response_frame(rule, serial, true);
    case action_t::twice:
        return response_frame(rule, serial, true) + response_frame(rule, serial, true);
    default:
        return response_frame(rule, serial, true);
    }
}

}  // namespace

cloudd_stand_in_t::cloudd_stand_in_t(std::string path) : path_(std::move(path))
{
    ::unlink(path_.c_str());
    listener_ = unique_fd_t(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener_.get() < 0)
        fail("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path)
        throw std::runtime_error("cloudd_stand_in_t: path too long: " + path_);
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("bind");
    if (::listen(listener_.get(), 64) != 0)
        fail("listen");
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        fail("pipe2");
    wake_read_ = unique_fd_t(pipe_fds[0]);
    wake_write_ = unique_fd_t(pipe_fds[1]);
    thread_ = std::thread([this] { serve(); });
}

cloudd_stand_in_t::~cloudd_stand_in_t()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    ::unlink(path_.c_str());
}

void cloudd_stand_in_t::set_rule(const std::string& url, rule_t rule)
{
    std::lock_guard lock(mutex_);
    rules_[url] = std::move(rule);
}

void cloudd_stand_in_t::set_default_rule(rule_t rule)
{
    std::lock_guard lock(mutex_);
    default_rule_ = std::move(rule);
}

void cloudd_stand_in_t::release_held()
{
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_type::now();
        for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
            it->due = now;
            scheduled_.push_back(std::move(*it));
        }
        held_.clear();
    }
    wake();
}

std::vector<cloudd_stand_in_t::request_t> cloudd_stand_in_t::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<cloudd_stand_in_t::connection_t> cloudd_stand_in_t::connections() const
{
    std::lock_guard lock(mutex_);
    return connections_;
}

bool cloudd_stand_in_t::wait_for_requests(std::size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, scaled(limit), [&] { return requests_.size() >= count; });
}

bool cloudd_stand_in_t::wait_for_close(int connection, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, scaled(limit), [&] {
        return connection >= 1 && static_cast<std::size_t>(connection) <= connections_.size() &&
               connections_[static_cast<std::size_t>(connection) - 1].closed.has_value();
    });
}

void cloudd_stand_in_t::wake()
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), &byte, 1);
}

void cloudd_stand_in_t::serve()
{
    for (;;) {
        int timeout_ms = 200;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                break;
            const auto now = clock_type::now();
            for (const outgoing_t& out : scheduled_) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(out.due - now).count();
                timeout_ms = std::clamp(static_cast<int>(left), 0, timeout_ms);
            }
        }
        std::vector<pollfd> fds{{wake_read_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
        std::vector<int> ids;
        for (const auto& [id, peer] : peers_) {
            fds.push_back({peer.fd.get(), POLLIN, 0});
            ids.push_back(id);
        }
        if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR)
            fail("poll");
        if (fds[0].revents) {
            char drain[64];
            while (::read(wake_read_.get(), drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & POLLIN)
            accept_one();
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const auto found = peers_.find(ids[i - 2]);
            if (found != peers_.end())
                read_from(found->first, found->second);
        }
        send_due();
    }
    peers_.clear();
}

void cloudd_stand_in_t::accept_one()
{
    const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    std::lock_guard lock(mutex_);
    connections_.push_back({clock_type::now(), std::nullopt, std::nullopt});
    peers_[static_cast<int>(connections_.size())].fd = unique_fd_t(fd);
    changed_.notify_all();
}

void cloudd_stand_in_t::read_from(int id, peer_t& peer)
{
    char chunk[65536];
    const ssize_t n = ::read(peer.fd.get(), chunk, sizeof chunk);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        close_peer(id);
        return;
    }
    peer.input.append(chunk, static_cast<std::size_t>(n));
    for (;;) {
        if (peer.input.size() < ipc_frame_header_size)
            return;
        const std::uint32_t length = decode_frame_length(reinterpret_cast<const std::uint8_t*>(peer.input.data()));
        if (peer.input.size() < ipc_frame_header_size + length)
            return;
        const std::string message = peer.input.substr(ipc_frame_header_size, length);
        peer.input.erase(0, ipc_frame_header_size + length);
        handle_request(id, message);
        // The request may have closed the connection.
        if (!peers_.count(id))
            return;
    }
}

void cloudd_stand_in_t::handle_request(int id, const std::string& bytes)
{
    cl::ClientMessage request;
    request_t seen;
    seen.connection = id;
    if (request.ParseFromString(bytes)) {
        seen.has_serial = request.has_serial();
        seen.serial = request.serial();
        seen.url = request.url().url();
        seen.addresses.assign(request.url().address().begin(), request.url().address().end());
    }
    rule_t rule;
    {
        std::lock_guard lock(mutex_);
        const auto found = rules_.find(seen.url);
        rule = found != rules_.end() ? found->second : default_rule_;
    }
    std::optional<outgoing_t> out;
    if (rule.action != action_t::never && rule.action != action_t::close)
        out = outgoing_t{clock_type::now() + rule.delay, id, answer_bytes(rule, seen.serial)};
    if (out && rule.action == action_t::half_then_close)
        out->close_after = true;
    {
        // The request becomes visible together with its answer, so that a
        // test that has seen it can release what is held.
        std::lock_guard lock(mutex_);
        requests_.push_back(seen);
        if (out)
            (rule.action == action_t::hold ? held_ : scheduled_).push_back(std::move(*out));
        changed_.notify_all();
    }
    if (rule.action == action_t::close)
        close_peer(id);
}

void cloudd_stand_in_t::close_peer(int id)
{
    peers_.erase(id);
    std::lock_guard lock(mutex_);
    connections_[static_cast<std::size_t>(id) - 1].closed = clock_type::now();
    changed_.notify_all();
}

void cloudd_stand_in_t::send_due()
{
    std::vector<outgoing_t> due;
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_type::now();
        auto first_later = std::stable_partition(scheduled_.begin(), scheduled_.end(),
                                                 [&](const outgoing_t& out) { return out.due <= now; });
        due.assign(std::make_move_iterator(scheduled_.begin()), std::make_move_iterator(first_later));
        scheduled_.erase(scheduled_.begin(), first_later);
    }
    for (outgoing_t& out : due) {
        const auto found = peers_.find(out.connection);
        if (found == peers_.end())
            continue;
        try {
            write_bytes(found->second.fd.get(), out.bytes);
        } catch (const std::system_error&) {
            close_peer(out.connection);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            connections_[static_cast<std::size_t>(out.connection) - 1].last_answer = clock_type::now();
        }
        if (out.close_after)
            close_peer(out.connection);
    }
}

}  // namespace nv::test
