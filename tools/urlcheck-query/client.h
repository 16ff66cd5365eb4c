// The client side of the daemon's URL-check protocol, as urlcheck-query uses
// it: requests built from the command line, one connection with framed
// messages, and the texts of the answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "proto/urlcheck_client_ipc.pb.h"

namespace query {

// What every request carries besides its URL.
struct request_options_t {
    std::vector<nv::UrlCategory> categories;
    std::vector<std::string> addresses;
};

// A failure that ends the program with a message (status 1).
class failure_t : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A category named as on the wire ("UC_GAMBLING"), without the prefix
// ("gambling", any letter case) or by its number. Throws failure_t.
nv::UrlCategory parse_category(const std::string& name);

uc::ClientMessage make_request(std::uint32_t serial, const std::string& url, const request_options_t& options);

// The verdict as a line of text: the category texts in the order received,
// "None", or "Error: " and the error text; then the legal URL when present.
std::string verdict_text(const uc::UrlResult& result);

// One JSON object: url, error (number), categories (numbers), legal_url.
std::string verdict_json(const std::string& url, const uc::UrlResult& result);

// One connected socket to the daemon with framed messages.
class connection_t {
public:
    // Throws failure_t saying why the daemon cannot be reached.
    explicit connection_t(const std::string& path);
    ~connection_t();
    connection_t(const connection_t&) = delete;
    connection_t& operator=(const connection_t&) = delete;

    int fd() const noexcept { return fd_; }
    void set_nonblocking();

    // Appends the frame of a message to `out`.
    static void append_frame(const uc::ClientMessage& message, std::string& out);

    // Blocking: writes all of `bytes`; throws failure_t when the daemon has gone.
    void write_all(const std::string& bytes);
    // Blocking: the next answer; nothing when the daemon closed the connection.
    std::optional<uc::ServerMessage> read_answer();

    // Non-blocking: reads what is there into the input; false at end of stream.
    bool read_some();
    // Takes one whole answer out of the input, if there is one.
    std::optional<uc::ServerMessage> next_answer();

private:
    int fd_ = -1;
    std::string input_;
    std::size_t input_start_ = 0;
};

}  // namespace query
