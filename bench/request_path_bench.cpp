// The daemon's main-thread work per check: a real client session on a socket
// pair, the real check engine with its database worker, requests written in
// bursts by this thread, answers read back by it between turns of the event
// loop. Reports checks per second and heap allocations per check, those of
// this thread (the event loop: session, check engine, posting, answers) apart
// from those of every thread.
//
// Environment: NORVA_BENCH_NVS_DIR (databases to load; without it none is
// loaded and every check is answered "no databases"), NORVA_BENCH_URLS (one
// URL a line; without it a few built-in ones).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "bench/support/allocation_counter.h"
#include "check/check_engine.h"
#include "common/log.h"
#include "ipc/application.h"
#include "ipc/client_tie.h"
#include "ipc/configd_tie.h"
#include "ipc/frame.h"
#include "proto/urlcheck_client_ipc.pb.h"

namespace {

constexpr std::uint32_t burst = 256;

class bench_application_t final : public uc::application_t {
public:
    ~bench_application_t() override
    {
        if (configd_link)
            configd_link->close();
    }
    boost::asio::io_context& event_loop() override { return loop; }
    uc::configd_tie_t& configd() override { return *configd_link; }
    const nv::UrlCheckConfig& config() const override { return holder.config; }
    boost::signals2::signal<void()>& config_applied() override { return holder.applied; }
    void apply_config(const nv::UrlCheckConfig& config) override
    {
        holder.config = config;
        holder.applied();
    }
    void check_restart_needed(const std::exception&) override {}
    void fill_app_info(nv::UrlCheckAppInfo&) override {}
    uc::url_checker_t* url_checker() override { return checker; }

    boost::asio::io_context loop;
    uc::config_holder_t holder;
    std::shared_ptr<uc::configd_tie_t> configd_link;
    uc::url_checker_t* checker = nullptr;
};

struct socket_pair_t {
    socket_pair_t()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::system_error(errno, std::generic_category(), "socketpair");
    }
    ~socket_pair_t()
    {
        for (const int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    int fds[2] = {-1, -1};
};

std::vector<std::string> bench_urls()
{
    std::vector<std::string> urls;
    if (const char* path = std::getenv("NORVA_BENCH_URLS")) {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                urls.push_back(line);
    }
    if (urls.empty())
        urls = {"http://www.example.com/", "https://news.example.org/world/2024/story.html?id=42",
                "http://cdn.static.example.net/img/logo.png", "http://casino.example/play?game=slots&x=1",
                "https://shop.example.co.uk/basket/checkout", "http://a.b.c.d.example/deep/path/to/page"};
    return urls;
}

// Bursts of framed requests, built before the timing starts.
std::vector<std::string> request_bursts(const std::vector<std::string>& urls)
{
    std::vector<std::string> bursts;
    const std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(64, urls.size() / burst));
    std::uint32_t serial = 0;
    for (std::size_t b = 0; b < count; ++b) {
        std::string bytes;
        for (std::uint32_t i = 0; i < burst; ++i) {
            uc::ClientMessage request;
            request.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
            request.set_serial(++serial);
            request.set_raw_url(urls[(b * burst + i) % urls.size()]);
            const std::string message = request.SerializeAsString();
            std::uint8_t header[nv::ipc_frame_header_size];
            nv::encode_frame_length(static_cast<std::uint32_t>(message.size()), header);
            bytes.append(reinterpret_cast<const char*>(header), sizeof header);
            bytes += message;
        }
        bursts.push_back(std::move(bytes));
    }
    return bursts;
}

void write_all(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::system_error(errno, std::generic_category(), "send");
        done += static_cast<std::size_t>(n);
    }
}

// Counts whole answer frames in what the client receives.
class answer_counter_t {
public:
    std::uint32_t take(const std::uint8_t* data, std::size_t size)
    {
        std::uint32_t frames = 0;
        while (size != 0) {
            if (remaining_ == 0) {
                header_[header_size_++] = *data++;
                --size;
                if (header_size_ == nv::ipc_frame_header_size) {
                    remaining_ = nv::decode_frame_length(header_);
                    header_size_ = 0;
                    if (remaining_ == 0)
                        throw std::runtime_error("empty answer frame");
                }
                continue;
            }
            const std::size_t used = std::min<std::size_t>(remaining_, size);
            remaining_ -= static_cast<std::uint32_t>(used);
            data += used;
            size -= used;
            if (remaining_ == 0)
                ++frames;
        }
        return frames;
    }

private:
    std::uint8_t header_[nv::ipc_frame_header_size] = {};
    std::uint32_t header_size_ = 0;
    std::uint32_t remaining_ = 0;
};

void BM_RequestPath(benchmark::State& state)
{
    // As the daemon runs under load: no Debug line is built.
    nv::set_level(nv::log_warning);
    bench_application_t app;
    socket_pair_t configd;
    app.configd_link = uc::configd_tie_t::create(app, configd.fds[0]);
    configd.fds[0] = -1;
    uc::check_engine_t engine(app);
    app.checker = &engine;
    nv::UrlCheckConfig config;
    config.set_use_cloud(false);
    if (const char* dir = std::getenv("NORVA_BENCH_NVS_DIR"))
        config.set_nvs_dir(dir);
    app.apply_config(config);
    while (engine.nvs_state() == nv::EC_UNKNOWN_STATE)
        app.loop.run_one_for(std::chrono::milliseconds(10));

    socket_pair_t client;
    auto socket = std::make_shared<uc::cf_basic_ipc_link_t::socket_t>(app.loop);
    socket->assign(boost::asio::local::stream_protocol(), client.fds[1]);
    client.fds[1] = -1;
    uc::client_tie_t::create(app, std::move(socket));

    const std::vector<std::string> bursts = request_bursts(bench_urls());
    std::vector<std::uint8_t> received(1 << 16);
    answer_counter_t counter;
    std::uint64_t checks = 0;
    std::uint64_t main_allocations = 0;
    std::uint64_t all_allocations = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        const std::uint64_t main_before = nv::bench::thread_allocation_count();
        const std::uint64_t all_before = nv::bench::allocation_count();
        write_all(client.fds[0], bursts[next]);
        next = (next + 1) % bursts.size();
        std::uint32_t answers = 0;
        while (answers < burst) {
            const std::size_t handled = app.loop.poll();
            const ssize_t n = ::recv(client.fds[0], received.data(), received.size(), MSG_DONTWAIT);
            if (n > 0)
                answers += counter.take(received.data(), static_cast<std::size_t>(n));
            else if (n == 0)
                throw std::runtime_error("the session closed the connection");
            else if (handled == 0)
                app.loop.run_one_for(std::chrono::milliseconds(1));
        }
        main_allocations += nv::bench::thread_allocation_count() - main_before;
        all_allocations += nv::bench::allocation_count() - all_before;
        checks += burst;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(checks));
    state.counters["main_allocs_per_check"] = static_cast<double>(main_allocations) / static_cast<double>(checks);
    state.counters["all_allocs_per_check"] = static_cast<double>(all_allocations) / static_cast<double>(checks);
    state.counters["databases"] = engine.nvs_state() == nv::EC_OK ? 1 : 0;

    ::shutdown(client.fds[0], SHUT_RDWR);
    app.loop.restart();
    app.loop.run_for(std::chrono::milliseconds(100));
}
BENCHMARK(BM_RequestPath)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
