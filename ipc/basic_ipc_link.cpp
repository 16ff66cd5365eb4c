#include "ipc/basic_ipc_link.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message_lite.h>

#include "common/error.h"
#include "common/exception.h"

namespace nv {

namespace {

// Hands out the link's operation memory, or the heap when it is taken or too
// small. The memory outlives every operation using it: the operation's handler
// holds the link.
template <class T>
class operation_allocator_t {
public:
    using value_type = T;

    explicit operation_allocator_t(ipc_operation_memory_t& memory) noexcept : memory_(&memory) {}
    template <class U>
    operation_allocator_t(const operation_allocator_t<U>& other) noexcept : memory_(other.memory_)
    {
    }

    T* allocate(std::size_t n)
    {
        if (!memory_->in_use && n <= sizeof memory_->storage / sizeof(T) && alignof(T) <= alignof(std::max_align_t)) {
            memory_->in_use = true;
            return reinterpret_cast<T*>(memory_->storage);
        }
        return std::allocator<T>().allocate(n);
    }

    void deallocate(T* p, std::size_t n) noexcept
    {
        if (reinterpret_cast<unsigned char*>(p) == memory_->storage)
            memory_->in_use = false;
        else
            std::allocator<T>().deallocate(p, n);
    }

    template <class U>
    bool operator==(const operation_allocator_t<U>& other) const noexcept
    {
        return memory_ == other.memory_;
    }

private:
    template <class U>
    friend class operation_allocator_t;
    ipc_operation_memory_t* memory_;
};

// A completion handler whose operations take their memory from `memory`.
template <class Handler>
class with_memory_t {
public:
    using allocator_type = operation_allocator_t<Handler>;

    with_memory_t(ipc_operation_memory_t& memory, Handler handler) : memory_(memory), handler_(std::move(handler)) {}

    allocator_type get_allocator() const noexcept { return allocator_type(memory_); }

    void operator()(const boost::system::error_code& error, std::size_t transferred)
    {
        handler_(error, transferred);
    }

private:
    ipc_operation_memory_t& memory_;
    Handler handler_;
};

template <class Handler>
with_memory_t<Handler> with_memory(ipc_operation_memory_t& memory, Handler handler)
{
    return with_memory_t<Handler>(memory, std::move(handler));
}

}  // namespace

cf_basic_ipc_link_t::cf_basic_ipc_link_t() = default;

cf_basic_ipc_link_t::~cf_basic_ipc_link_t() = default;

void cf_basic_ipc_link_t::attach_socket(std::shared_ptr<socket_t> socket) noexcept
{
    socket_ = std::move(socket);
}

bool cf_basic_ipc_link_t::is_open() const noexcept
{
    return socket_ && socket_->is_open();
}

void cf_basic_ipc_link_t::close_socket() noexcept
{
    if (!socket_)
        return;
    boost::system::error_code ignored;
    socket_->close(ignored);
}

void cf_basic_ipc_link_t::handle_error(const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    on_error(error);
}

// Reading

namespace {

// Free space offered to every read beyond the frame being completed: enough
// for a client's whole burst of pipelined requests in one system call.
constexpr std::uint32_t read_room = 16384;

}  // namespace

void cf_basic_ipc_link_t::start_reading()
{
    input_.resize(0);
    input_begin_ = 0;
    read_more();
    // Messages may have been queued before the socket was there.
    write_next();
}

void cf_basic_ipc_link_t::read_more()
{
    const std::uint32_t held = input_.size() - input_begin_;
    // Room for the rest of a frame whose length is known, so that a large
    // message is read straight into place, or for a burst of small ones.
    std::uint32_t wanted = read_room;
    if (held >= ipc_frame_header_size) {
        // 64-bit: the sum must not wrap, whatever max_message_size is.
        const std::uint64_t frame_size =
            std::uint64_t{ipc_frame_header_size} + decode_frame_length(input_.data() + input_begin_);
        wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            std::max<std::uint64_t>(frame_size - held, wanted), ipc_buffer::max_size - held));
    }
    if (input_.capacity() - input_.size() < wanted) {
        // The handled frames make room first; only a partial frame is moved.
        if (input_begin_ != 0) {
            std::memmove(input_.data(), input_.data() + input_begin_, held);
            input_.resize(held);
            input_begin_ = 0;
        }
        if (input_.capacity() - held < wanted) {
            input_.resize(held + wanted);
            input_.resize(held);
        }
    }
    socket_->async_read_some(
        boost::asio::buffer(input_.data() + input_.size(), input_.capacity() - input_.size()),
        with_memory(read_memory_, [self = shared_link()](const boost::system::error_code& error,
                                                         std::size_t transferred) {
            self->on_read(error, transferred);
        }));
}

void cf_basic_ipc_link_t::on_read(const boost::system::error_code& error, std::size_t transferred)
{
    if (!is_open())
        return;
    if (error) {
        handle_error(error);
        return;
    }
    // At most the spare capacity offered to the read.
    input_.resize(input_.size() + static_cast<std::uint32_t>(transferred));
    if (handle_frames())
        read_more();
}

// Hands out every complete frame received; false when reading must stop.
bool cf_basic_ipc_link_t::handle_frames()
{
    for (;;) {
        const std::uint32_t held = input_.size() - input_begin_;
        std::uint32_t length = 0;
        switch (inspect_frame(input_.data() + input_begin_, held, max_message_size, length)) {
        case frame_status_t::incomplete:
            if (held == 0) {
                input_.resize(0);
                input_begin_ = 0;
            }
            return true;
        case frame_status_t::bad_length:
            handle_error(make_error_code(EC_BAD_MESSAGE_SIZE));
            return false;
        case frame_status_t::complete:
            break;
        }
        const std::uint8_t* message = input_.data() + input_begin_ + ipc_frame_header_size;
        // Consumed before the call: a frame is never handed out twice, even
        // when on_message throws. The bytes stay in place until the next read.
        input_begin_ += ipc_frame_header_size + length;
        {
            google::protobuf::io::ArrayInputStream input(message, static_cast<int>(length));
            on_message(input);
        }
        // on_message may have closed the socket (the handler of this read keeps
        // the link itself alive).
        if (!is_open())
            return false;
    }
}

// Sending

void cf_basic_ipc_link_t::async_send_message(const google::protobuf::MessageLite& message)
{
    const std::size_t size = message.ByteSizeLong();
    if (size > max_message_size)
        throw_system_error(make_error_code(EC_BAD_MESSAGE_SIZE), "async_send_message");
    // A closed link never writes again; queueing would only hold memory.
    if ((socket_ && !socket_->is_open()) || output_failed_)
        return;
    const std::optional<std::uint32_t> new_size = size_with_frame(pending_output_.size(), size, max_pending_output);
    if (!new_size) {
        fail_output();
        return;
    }
    const std::uint32_t old_size = pending_output_.size();
    pending_output_.resize(*new_size);
    std::uint8_t* frame = pending_output_.data() + old_size;
    encode_frame_length(static_cast<std::uint32_t>(size), frame);
    // ByteSizeLong() above cached the sizes that this relies on.
    message.SerializeWithCachedSizesToArray(frame + ipc_frame_header_size);
    if (coalesce_writes)
        schedule_write();
    else
        write_next();
}

void cf_basic_ipc_link_t::schedule_write()
{
    // A write in flight picks the message up when it completes; a link not
    // attached yet writes once it starts reading.
    if (write_scheduled_ || !output_in_flight_.empty() || !is_open())
        return;
    write_scheduled_ = true;
    boost::asio::post(socket_->get_executor(), [self = shared_link()] {
        self->write_scheduled_ = false;
        self->write_next();
    });
}

void cf_basic_ipc_link_t::fail_output()
{
    output_failed_ = true;
    const auto error = boost::system::errc::make_error_code(boost::system::errc::no_buffer_space);
    const boost::system::error_code code(error.value(), boost::system::system_category());
    if (!socket_) {
        on_error(code);
        return;
    }
    // Reported from the event loop, like every other failure, not inside the
    // sender's call.
    boost::asio::post(socket_->get_executor(), [self = shared_link(), code] {
        if (self->is_open())
            self->handle_error(code);
    });
}

void cf_basic_ipc_link_t::write_next()
{
    if (!output_in_flight_.empty())
        return;
    if (pending_output_.empty()) {
        on_send_queue_empty();
        return;
    }
    // Not attached yet (start_reading() will come back here) or closed.
    if (!is_open())
        return;
    pending_output_.swap(output_in_flight_);
    on_write_started();
    boost::asio::async_write(*socket_, boost::asio::buffer(output_in_flight_.data(), output_in_flight_.size()),
                             with_memory(write_memory_, [self = shared_link()](const boost::system::error_code& error,
                                                                               std::size_t) {
                                 self->on_written(error);
                             }));
}

void cf_basic_ipc_link_t::on_written(const boost::system::error_code& error)
{
    if (!is_open())
        return;
    if (error) {
        handle_error(error);
        return;
    }
    output_in_flight_.resize(0);
    on_write_finished();
    write_next();
}

}  // namespace nv
