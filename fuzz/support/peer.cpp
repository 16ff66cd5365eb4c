#include "fuzz/support/peer.h"

#include "ipc/frame.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace nv::fuzz {

peer_t::peer_t(boost::asio::io_context& loop, frame_handler_t on_frame)
    : loop_(loop),
      on_frame_(std::move(on_frame)),
      link_end_(std::make_shared<socket_t>(loop)),
      peer_end_(loop),
      self_(std::make_shared<peer_t*>(this))
{
    boost::system::error_code error;
    boost::asio::local::connect_pair(*link_end_, peer_end_, error);
    if (error)
        std::abort();
    link_end_watch_ = link_end_;
    read_some();
}

peer_t::~peer_t()
{
    *self_ = nullptr;
    boost::system::error_code ignored;
    peer_end_.close(ignored);
}

std::shared_ptr<peer_t::socket_t> peer_t::take_link_end()
{
    return std::move(link_end_);
}

int peer_t::take_link_descriptor()
{
    const int descriptor = ::dup(link_end_->native_handle());
    if (descriptor < 0)
        std::abort();
    link_end_.reset();
    return descriptor;
}

void peer_t::send(std::span<const std::uint8_t> bytes, bool then_shut)
{
    input_.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    shut_after_write_ = then_shut;
    writing_ = true;
    boost::asio::async_write(peer_end_, boost::asio::buffer(input_),
                             [self = self_](const boost::system::error_code&, std::size_t) {
                                 peer_t* peer = *self;
                                 if (!peer)
                                     return;
                                 peer->writing_ = false;
                                 if (peer->shut_after_write_)
                                     peer->shut_sending();
                             });
}

void peer_t::shut_sending()
{
    boost::system::error_code ignored;
    peer_end_.shutdown(socket_t::shutdown_send, ignored);
}

std::size_t peer_t::unread_by_link() const
{
    const auto end = link_end_watch_.lock();
    if (!end || !end->is_open())
        return 0;
    int bytes = 0;
    if (::ioctl(end->native_handle(), FIONREAD, &bytes) != 0)
        return 0;
    return std::size_t(bytes);
}

void peer_t::read_some()
{
    peer_end_.async_read_some(boost::asio::buffer(chunk_),
                              [self = self_](const boost::system::error_code& error, std::size_t n) {
                                  peer_t* peer = *self;
                                  if (!peer)
                                      return;
                                  if (error) {
                                      peer->read_closed_ = true;
                                      return;
                                  }
                                  peer->received_.append(peer->chunk_, n);
                                  peer->take_frames();
                                  peer->read_some();
                              });
}

void peer_t::take_frames()
{
    std::size_t at = 0;
    while (received_.size() - at >= ipc_frame_header_size) {
        const auto length = decode_frame_length(reinterpret_cast<const std::uint8_t*>(received_.data() + at));
        // The daemon never sends an empty or oversized frame.
        if (!valid_frame_length(length, max_ipc_message_size))
            std::abort();
        if (received_.size() - at - ipc_frame_header_size < length)
            break;
        ++frames_;
        if (on_frame_)
            on_frame_(std::string_view(received_).substr(at + ipc_frame_header_size, length));
        at += ipc_frame_header_size + length;
    }
    received_.erase(0, at);
}

bool run_until(boost::asio::io_context& loop, const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (loop.stopped())
            loop.restart();
        // Whatever is ready runs first, so that `done` is judged on a settled loop.
        const bool ran = loop.poll() != 0;
        if (!ran && done())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (ran)
            continue;
        if (loop.stopped()) {
            // No work on the loop: a result may still come from another thread.
            loop.restart();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else {
            loop.run_one_for(std::chrono::milliseconds(5));
        }
    }
}

void hang(const char* what)
{
    std::fprintf(stderr, "fuzz target did not settle: %s\n", what);
    std::abort();
}

} // namespace nv::fuzz
