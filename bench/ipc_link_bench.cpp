// Throughput of the message link over a socket pair: one sender link, one
// receiver link, about 100-byte messages in one direction, kept pipelined.
// Also counts heap allocations per message once the buffers have grown
// (expected: none).
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <google/protobuf/io/zero_copy_stream.h>

#include "bench/support/allocation_counter.h"
#include "ipc/basic_ipc_link.h"
#include "proto/urlcheck_client_ipc.pb.h"

namespace {

using nv::cf_basic_ipc_link_t;

constexpr int batch_size = 256;

// Counts what arrives; at the end of every batch asks for another one, so that
// sending always starts inside a handler of the loop, as in the daemon.
class bench_link_t final : public cf_basic_ipc_link_t, public std::enable_shared_from_this<bench_link_t> {
public:
    std::uint64_t received = 0;
    std::uint64_t bytes = 0;
    std::function<void()> on_batch;

    using cf_basic_ipc_link_t::close_socket;

private:
    void on_message(google::protobuf::io::ZeroCopyInputStream& input) override
    {
        const void* data = nullptr;
        int size = 0;
        while (input.Next(&data, &size))
            bytes += static_cast<std::uint64_t>(size);
        if (++received % batch_size == 0 && on_batch)
            on_batch();
    }
    void on_error(const boost::system::error_code& error) override
    {
        close_socket();
        throw std::runtime_error("link error: " + error.message());
    }
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }
};

uc::ClientMessage hundred_byte_request()
{
    uc::ClientMessage message;
    message.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
    message.set_serial(123456);
    message.set_raw_url("http://www.example.com/some/path/to/a/page.html?query=value&another=parameter&x=1&y=22222");
    message.add_categories(nv::UC_INFECTION_SOURCE);
    return message;
}

void BM_IpcLinkOneWay(benchmark::State& state)
{
    boost::asio::io_context io;
    boost::asio::local::stream_protocol::socket a(io);
    boost::asio::local::stream_protocol::socket b(io);
    boost::asio::local::connect_pair(a, b);
    auto sender = std::make_shared<bench_link_t>();
    auto receiver = std::make_shared<bench_link_t>();
    sender->attach_socket(std::make_shared<cf_basic_ipc_link_t::socket_t>(std::move(a)));
    receiver->attach_socket(std::make_shared<cf_basic_ipc_link_t::socket_t>(std::move(b)));
    sender->start_reading();
    receiver->start_reading();

    const uc::ClientMessage message = hundred_byte_request();
    auto send_batch = [&] {
        for (int i = 0; i < batch_size; ++i)
            sender->async_send_message(message);
    };
    receiver->on_batch = send_batch;
    // Two batches in flight keep the pipe busy while one is being received.
    boost::asio::post(io, send_batch);
    boost::asio::post(io, send_batch);

    // Warm-up: buffers reach their working size, the loop's caches fill.
    while (receiver->received < 64 * batch_size)
        io.run_one();

    const std::uint64_t first = receiver->received;
    const std::uint64_t allocations_before = nv::bench::allocation_count();
    for (auto _ : state) {
        const std::uint64_t target = receiver->received + batch_size;
        while (receiver->received < target)
            io.run_one();
    }
    const std::uint64_t allocations = nv::bench::allocation_count() - allocations_before;
    const std::uint64_t messages = receiver->received - first;

    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.SetBytesProcessed(static_cast<std::int64_t>(messages * (message.ByteSizeLong() + 4)));
    state.counters["msg_bytes"] = static_cast<double>(message.ByteSizeLong());
    state.counters["allocs_per_msg"] = messages ? static_cast<double>(allocations) / static_cast<double>(messages) : 0;

    receiver->on_batch = nullptr;
    sender->close_socket();
    receiver->close_socket();
    sender.reset();
    receiver.reset();
    io.restart();
    io.run();
}
BENCHMARK(BM_IpcLinkOneWay)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
