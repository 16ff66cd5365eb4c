#include "tests/support/frames.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipc/frame.h"

namespace nv::test {

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void throw_errno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Waits until the descriptor is readable (data or end of stream); false at the deadline.
bool wait_readable(int fd, clock_type::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            throw_errno("poll");
    }
}

// Appends up to `size` bytes to `out`; false at end of stream or the deadline.
bool read_into(int fd, std::string& out, std::size_t size, clock_type::time_point deadline)
{
    while (out.size() < size) {
        if (!wait_readable(fd, deadline))
            return false;
        char chunk[65536];
        const std::size_t want = std::min(sizeof chunk, size - out.size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            throw_errno("read");
        }
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

unique_fd_t& unique_fd_t::operator=(unique_fd_t&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void unique_fd_t::reset() noexcept
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::pair<unique_fd_t, unique_fd_t> socket_pair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw_errno("socketpair");
    return {unique_fd_t(fds[0]), unique_fd_t(fds[1])};
}

std::string frame_bytes(std::string_view message)
{
    std::string frame(ipc_frame_header_size, '\0');
    encode_frame_length(static_cast<std::uint32_t>(message.size()), reinterpret_cast<std::uint8_t*>(frame.data()));
    frame.append(message);
    return frame;
}

void write_bytes(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("write");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void write_frame(int fd, std::string_view message)
{
    write_bytes(fd, frame_bytes(message));
}

void write_message(int fd, const google::protobuf::MessageLite& message)
{
    std::string bytes;
    if (!message.SerializeToString(&bytes))
        throw std::runtime_error("write_message: cannot serialise " + message.GetTypeName());
    write_frame(fd, bytes);
}

std::optional<std::string> read_bytes(int fd, std::size_t size, std::chrono::milliseconds timeout)
{
    std::string out;
    if (!read_into(fd, out, size, clock_type::now() + timeout))
        return std::nullopt;
    return out;
}

std::optional<std::string> read_frame(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = clock_type::now() + timeout;
    std::string header;
    if (!read_into(fd, header, ipc_frame_header_size, deadline))
        return std::nullopt;
    const std::uint32_t length = decode_frame_length(reinterpret_cast<const std::uint8_t*>(header.data()));
    if (!valid_frame_length(length, max_ipc_message_size))
        throw std::runtime_error("read_frame: invalid frame length " + std::to_string(length));
    std::string message;
    message.reserve(length);
    if (!read_into(fd, message, length, deadline))
        return std::nullopt;
    return message;
}

namespace {

std::optional<std::string> read_to_end(int fd, std::chrono::milliseconds timeout, bool reset_ends)
{
    const auto deadline = clock_type::now() + timeout;
    std::string out;
    for (;;) {
        if (!wait_readable(fd, deadline))
            return std::nullopt;
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            return out;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            if (errno == ECONNRESET && reset_ends)
                return out;
            throw_errno("read");
        }
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::optional<std::string> read_until_closed(int fd, std::chrono::milliseconds timeout)
{
    return read_to_end(fd, timeout, false);
}

std::vector<std::string_view> whole_frames(std::string_view bytes, std::size_t* used)
{
    std::vector<std::string_view> frames;
    const std::size_t size = bytes.size();
    for (;;) {
        std::uint32_t length = 0;
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        switch (inspect_frame(data, static_cast<std::uint32_t>(bytes.size()), max_ipc_message_size, length)) {
        case frame_status_t::incomplete:
            if (used)
                *used = size - bytes.size();
            return frames;
        case frame_status_t::bad_length:
            throw std::runtime_error("whole_frames: invalid frame length " +
                                     std::to_string(decode_frame_length(data)));
        case frame_status_t::complete:
            frames.push_back(bytes.substr(ipc_frame_header_size, length));
            bytes.remove_prefix(ipc_frame_header_size + length);
            break;
        }
    }
}

std::optional<std::string> read_until_gone(int fd, std::chrono::milliseconds timeout)
{
    return read_to_end(fd, timeout, true);
}

}  // namespace nv::test
