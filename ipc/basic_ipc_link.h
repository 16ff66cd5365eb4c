// Framed two-way message channel over one connected local stream socket: the
// base of every link of the daemon (ConfigD, each client, CloudD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <boost/asio/ts/netfwd.hpp>
#include <boost/system/error_code.hpp>

#include "ipc/frame.h"
#include "ipc/ipc_buffer.h"

// Declarations only, so that users of links need not pull in the socket and
// protobuf headers.
namespace boost::asio::local {
class stream_protocol;
}
namespace google::protobuf {
class MessageLite;
namespace io {
class ZeroCopyInputStream;
}
}  // namespace google::protobuf

namespace nv {

// Memory for one outstanding socket operation of a link (its read or its
// write), reused from one operation to the next so that a steady exchange
// allocates nothing in the event loop either.
struct ipc_operation_memory_t {
    alignas(std::max_align_t) unsigned char storage[1024];
    bool in_use = false;
};

// Cuts the incoming byte stream into frames and hands each to the derived class
// as one message; frames, queues and writes outgoing messages. It knows nothing
// of message types and writes no log lines.
//
// Lifetime: a link always lives in a std::shared_ptr. Every read or write it
// starts holds shared_link() until its completion has run, so the link lives
// while any of its operations is outstanding, whoever else holds it.
//
// Threads: every member, and every completion, runs on the one event-loop
// thread of the socket; there are no locks.
//
// The link never opens, connects or closes sockets: the derived class closes
// the socket (close_socket()) on error or on shutdown. From then on every
// completion finds is_open() false and does nothing (no on_error), and the
// link goes away with its last outstanding operation.
class cf_basic_ipc_link_t {
public:
    // The local stream socket of the daemon's event loop
    // (boost::asio::local::stream_protocol::socket).
    using socket_t = boost::asio::basic_stream_socket<boost::asio::local::stream_protocol>;

    cf_basic_ipc_link_t(const cf_basic_ipc_link_t&) = delete;
    cf_basic_ipc_link_t& operator=(const cf_basic_ipc_link_t&) = delete;
    // Frees the buffers and releases the socket (closing it if this was the
    // last holder).
    virtual ~cf_basic_ipc_link_t();

    // Stores the connected socket; done once by the owner, before start_reading().
    void attach_socket(std::shared_ptr<socket_t> socket) noexcept;
    // The attached socket; empty before attach_socket().
    const std::shared_ptr<socket_t>& socket() const noexcept { return socket_; }

    // Begins reading: each read takes whatever the socket holds, and every
    // complete frame in it is handed to on_message in order, the next only
    // after the previous call has returned; a partial frame waits for the
    // rest. Call once, after attach_socket(). Also starts writing messages
    // queued before the socket was attached. Once reading stops (read error,
    // invalid length, socket closed by on_message) it is never restarted, and
    // no frame after an invalid length is handed out.
    void start_reading();

    // Frames `message` straight into the pending output and returns at once;
    // it is written after everything sent before it. Messages sent while a
    // write is in flight leave together in the next write.
    // Throws boost::system::system_error with EC_BAD_MESSAGE_SIZE ("nv.Error")
    // and the text "async_send_message" when the serialised message is larger
    // than max_message_size; nothing is queued then.
    // When the pending output would grow past max_pending_output (a peer that
    // stops reading while messages pile up), the message is not queued and
    // on_error is called later, from the event loop, with ENOBUFS
    // (boost::system::errc::no_buffer_space, system category); every later
    // message is dropped. After the socket has been closed messages are dropped.
    void async_send_message(const google::protobuf::MessageLite& message);

    // A socket is attached and its descriptor is valid.
    bool is_open() const noexcept;

protected:
    cf_basic_ipc_link_t();

    // Parses and handles one received message. `input` is a zero-copy stream
    // over exactly the message bytes of the frame, valid only during the call.
    // Exceptions are not caught by the link.
    virtual void on_message(google::protobuf::io::ZeroCopyInputStream& input) = 0;
    // A read or write failed (end of stream: boost::asio::error::eof), a frame
    // length was invalid (EC_BAD_MESSAGE_SIZE), or the pending output is full
    // (ENOBUFS). Never called with the operation-aborted code. Exceptions are
    // not caught by the link.
    virtual void on_error(const boost::system::error_code& error) = 0;
    // A shared pointer to this link, from the derived class's own
    // enable_shared_from_this base.
    virtual std::shared_ptr<cf_basic_ipc_link_t> shared_link() = 0;
    // Called just after a write has been started.
    virtual void on_write_started() {}
    // Called after a write completed without error.
    virtual void on_write_finished() {}
    // Called when the link looks for more to write and finds nothing.
    virtual void on_send_queue_empty() {}

    // Ignores the operation-aborted code (what outstanding operations complete
    // with when their socket is closed), passes anything else to on_error.
    void handle_error(const boost::system::error_code& error);

    // Closes the socket, ignoring a failure to close; outstanding operations
    // then complete silently. Does nothing without a socket.
    void close_socket() noexcept;

    // Largest frame length accepted and sent; derived classes set
    // max_ipc_message_size.
    std::uint32_t max_message_size = max_ipc_message_size;
    // Largest pending output in bytes (complete frames only); past it the link
    // fails with ENOBUFS instead of wrapping the 32-bit buffer size.
    std::uint32_t max_pending_output = ipc_buffer::max_size;
    // When set, a message sent while no write is in flight starts a write only
    // once the current handler of the event loop has returned, so that every
    // message sent in that handler leaves in the same write. For links that
    // send many messages per turn (the answers of a batch of checks).
    bool coalesce_writes = false;

private:
    void read_more();
    void on_read(const boost::system::error_code& error, std::size_t transferred);
    bool handle_frames();
    void write_next();
    void schedule_write();
    void on_written(const boost::system::error_code& error);
    void fail_output();

    std::shared_ptr<socket_t> socket_;
    // Bytes received: [input_begin_, input_.size()) are not handed out yet;
    // reads land after input_.size(), in the spare capacity.
    ipc_buffer input_;
    std::uint32_t input_begin_ = 0;
    ipc_buffer pending_output_;
    // Size 0: no write in progress.
    ipc_buffer output_in_flight_;
    // The pending output overflowed; nothing is queued any more.
    bool output_failed_ = false;
    // A write is to start from a handler already posted (coalesce_writes).
    bool write_scheduled_ = false;
    // One read and one write at most are outstanding at any time.
    ipc_operation_memory_t read_memory_;
    ipc_operation_memory_t write_memory_;
};

}  // namespace nv

namespace uc {
using nv::cf_basic_ipc_link_t;
}  // namespace uc
