// The real daemon serving clients for end-to-end tests: a test ConfigD, a
// temporary directory with the client socket and, when asked, databases built
// by nvs-tool from source texts; plus the client side of the URL-check protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "proto/urlcheck_client_ipc.pb.h"
#include "tests/support/frames.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_configd.h"

namespace nv::test {

// Builds one signed database (with the repository's test key) from a source
// text in the format of docs/nvs-source-format.md; throws on failure.
void build_database(const std::string& source_text, const std::string& output_path);

// Connects to a listening local socket; throws std::system_error on failure.
unique_fd_t connect_client(const std::string& path);

// A CHECK_URL_REQUEST by raw URL.
uc::ClientMessage url_request(std::uint32_t serial, const std::string& raw_url,
                              const std::vector<UrlCategory>& categories = {});

// The next answer on a client connection; nothing if none came or it closed.
std::optional<uc::ServerMessage> read_answer(int fd, std::chrono::milliseconds timeout = 20s);

// Sends one request and waits for its answer.
std::optional<uc::UrlResult> ask(int fd, std::uint32_t serial, const std::string& raw_url,
                                 const std::vector<UrlCategory>& categories = {});

class running_daemon_t {
public:
    // Databases by file name ("gamble.nvs") -> source text. None: no nvs_dir.
    using databases_t = std::map<std::string, std::string>;

    // Starts the daemon; start() configures it.
    explicit running_daemon_t(databases_t databases = {}, process_options_t extra = {});

    // The configuration start() sends: basic_config() with the socket path in
    // the temporary directory and nvs_dir when there are databases.
    UrlCheckConfig config;

    // Sends the configuration (revision 1) and waits until the databases are
    // loaded (the MY_INFO_NOTIFICATION whose nvs_state is no longer
    // EC_UNKNOWN_STATE). False if that did not happen.
    bool start();

    std::string socket_path() const { return config.client_socket_path(); }
    unique_fd_t connect() const { return connect_client(socket_path()); }

    test_configd_t& configd() noexcept { return configd_; }
    child_process_t& process() noexcept { return configd_.daemon(); }
    const temp_dir_t& dir() const noexcept { return dir_; }

    // Waits for a text in the daemon's standard error (its log).
    bool wait_for_log(const std::string& text, std::chrono::milliseconds limit = 20s)
    {
        return process().wait_for_err(text, limit);
    }

    // Counts the occurrences of a text in the log captured so far.
    int log_count(const std::string& text);

private:
    temp_dir_t dir_;
    test_configd_t configd_;
};

}  // namespace nv::test
