#pragma once
// The far end of a link under fuzzing: a connected socket pair on the event
// loop. One end goes to the link; through the other the peer writes the fuzz
// input as a raw byte stream and reads back, frame by frame, whatever the link
// writes.

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace nv::fuzz {

class peer_t {
public:
    using socket_t = boost::asio::local::stream_protocol::socket;
    // Gets the message bytes of every complete frame the link writes.
    using frame_handler_t = std::function<void(std::string_view)>;

    // Aborts when no socket pair can be made.
    peer_t(boost::asio::io_context& loop, frame_handler_t on_frame);
    ~peer_t();
    peer_t(const peer_t&) = delete;
    peer_t& operator=(const peer_t&) = delete;

    // The end to attach to the link (once).
    std::shared_ptr<socket_t> take_link_end();
    // The same as a descriptor of its own, for links that adopt an inherited
    // descriptor; the peer's socket object for that end is closed.
    int take_link_descriptor();

    // Writes the bytes (asynchronously, all of them unless the link goes);
    // with `then_shut` the peer shuts its sending side afterwards, so that
    // the link reads the end of the stream.
    void send(std::span<const std::uint8_t> bytes, bool then_shut);
    // Shuts the sending side now (the link reads the end of the stream).
    void shut_sending();

    // Everything given to send() has been written or has failed.
    bool sent() const noexcept { return !writing_; }
    // The link's side is closed: the peer read the end of the stream or an error.
    bool link_closed() const noexcept { return read_closed_; }
    // Bytes written by the peer that the link has not read yet (0 once the
    // link's end is closed).
    std::size_t unread_by_link() const;
    // Frames the link has written so far.
    std::size_t frames() const noexcept { return frames_; }

private:
    void read_some();
    void take_frames();

    boost::asio::io_context& loop_;
    frame_handler_t on_frame_;
    std::shared_ptr<socket_t> link_end_;
    std::weak_ptr<socket_t> link_end_watch_;
    socket_t peer_end_;
    std::string input_;
    std::string received_;
    bool writing_ = false;
    bool shut_after_write_ = false;
    bool read_closed_ = false;
    std::size_t frames_ = 0;
    // Completions of the peer's own operations may run after it is gone.
    std::shared_ptr<peer_t*> self_;
    char chunk_[65536];
};

// Runs the event loop until `done` holds with nothing left ready to run, or
// the time limit passes; returns whether `done` was reached. Rethrows what
// leaves a handler.
bool run_until(boost::asio::io_context& loop, const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// Stops the process with a message: for a target whose loop did not settle.
[[noreturn]] void hang(const char* what);

} // namespace nv::fuzz
