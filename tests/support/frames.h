// Blocking frame exchange on a raw descriptor, for tests that play the peer of
// a link (ConfigD, a client, CloudD) over a socket pair or a connected socket:
// 4-byte little-endian length, then the message bytes.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <google/protobuf/message_lite.h>

namespace nv::test {

using namespace std::chrono_literals;

// Owns one descriptor; closes it on destruction.
class unique_fd_t {
public:
    unique_fd_t() noexcept = default;
    explicit unique_fd_t(int fd) noexcept : fd_(fd) {}
    unique_fd_t(unique_fd_t&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd_t& operator=(unique_fd_t&& other) noexcept;
    unique_fd_t(const unique_fd_t&) = delete;
    unique_fd_t& operator=(const unique_fd_t&) = delete;
    ~unique_fd_t() { reset(); }

    int get() const noexcept { return fd_; }
    // Gives up ownership without closing.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor now (if any).
    void reset() noexcept;

private:
    int fd_ = -1;
};

// A connected pair of local stream sockets (close-on-exec); throws on failure.
std::pair<unique_fd_t, unique_fd_t> socket_pair();

// The wire form of one frame holding `message`.
std::string frame_bytes(std::string_view message);

// Writes all bytes (blocking). Never raises SIGPIPE on a socket. Throws
// std::system_error on failure, e.g. EPIPE when the peer has gone.
void write_bytes(int fd, std::string_view bytes);
// Writes one frame holding `message`.
void write_frame(int fd, std::string_view message);
// Serialises and writes one frame; throws std::runtime_error if the message
// cannot be serialised (missing required fields).
void write_message(int fd, const google::protobuf::MessageLite& message);

// Reads exactly `size` bytes; nothing if the stream ends or the time limit
// passes first. Throws std::system_error on a read error.
std::optional<std::string> read_bytes(int fd, std::size_t size, std::chrono::milliseconds timeout = 10s);
// Reads one frame and returns its message bytes; nothing if the stream ends or
// the time limit passes before the whole frame is there. Throws
// std::runtime_error on a length of 0 or above 64 MiB.
std::optional<std::string> read_frame(int fd, std::chrono::milliseconds timeout = 10s);
// Reads everything until the peer closes; nothing if it has not closed within
// the time limit.
std::optional<std::string> read_until_closed(int fd, std::chrono::milliseconds timeout = 10s);
// The same, but a reset also ends the stream: a peer that closes with bytes
// of ours still unread resets the connection once its last bytes are read.
std::optional<std::string> read_until_gone(int fd, std::chrono::milliseconds timeout = 10s);

// The message bytes of every whole frame at the start of `bytes`, in order; a
// frame cut short at the end is left out. `used`, when given, receives the
// bytes those frames take. Throws std::runtime_error on a length of 0 or above
// 64 MiB.
std::vector<std::string_view> whole_frames(std::string_view bytes, std::size_t* used = nullptr);

// Reads one frame and parses it as T; nothing if no frame came; throws
// std::runtime_error if it does not parse.
template <class T>
std::optional<T> read_message(int fd, std::chrono::milliseconds timeout = 10s)
{
    std::optional<std::string> bytes = read_frame(fd, timeout);
    if (!bytes)
        return std::nullopt;
    T message;
    if (!message.ParseFromString(*bytes))
        throw std::runtime_error("read_message: the frame does not parse as " + message.GetTypeName());
    return message;
}

}  // namespace nv::test
