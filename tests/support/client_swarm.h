// Many clients of the real daemon at once, driven by one epoll loop in the
// test's own thread (not a thread per client): requests are written without
// blocking, answers are read as they come and kept per client.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "proto/urlcheck_client_ipc.pb.h"
#include "tests/support/frames.h"

namespace nv::test {

class client_swarm_t {
public:
    // How a client's connection ended, as far as the swarm has seen.
    enum class end_t { open, closed_here, closed_by_daemon };

    // Connects `count` clients to the socket. Connects block while the
    // daemon's backlog is full, so they simply wait for it to accept.
    client_swarm_t(const std::string& socket_path, std::size_t count);
    ~client_swarm_t();
    client_swarm_t(const client_swarm_t&) = delete;
    client_swarm_t& operator=(const client_swarm_t&) = delete;

    std::size_t size() const noexcept { return clients_.size(); }

    // Queues bytes (whole frames) for the client; run() writes them.
    void queue(std::size_t client, const std::string& bytes);
    // Queues one request.
    void queue(std::size_t client, const uc::ClientMessage& request);
    // The client stops reading: its answers stay unread until it closes.
    void stop_reading(std::size_t client);
    // Closes the client's connection now, unread answers and unwritten bytes
    // included.
    void close(std::size_t client);

    // Writes what is queued and reads answers until `done` holds (checked
    // after every batch of events and at least every 100 ms) or the time
    // limit passes; true if `done` held. A frame that does not parse as
    // uc.ServerMessage, or an invalid length, throws std::runtime_error.
    bool run(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // Every queued byte of every open client has been written.
    bool all_written() const;
    // Answers the client has read, in arrival order.
    const std::vector<uc::ServerMessage>& answers(std::size_t client) const { return clients_[client].answers; }
    // Answers read by all clients together.
    std::size_t answer_count() const noexcept { return answer_count_; }
    end_t end(std::size_t client) const noexcept { return clients_[client].end; }

private:
    struct client_t {
        unique_fd_t fd;
        std::string out;
        std::size_t written = 0;
        std::string in;
        bool reading = true;
        std::vector<uc::ServerMessage> answers;
        end_t end = end_t::open;
    };

    void update_interest(std::size_t client);
    void on_writable(std::size_t client);
    void on_readable(std::size_t client);
    void cut_frames(client_t& client);
    void forget(client_t& client, end_t end);

    unique_fd_t epoll_;
    std::vector<client_t> clients_;
    std::size_t answer_count_ = 0;
};

}  // namespace nv::test
