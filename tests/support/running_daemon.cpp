#include "tests/support/running_daemon.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <sys/socket.h>
#include <sys/un.h>

#include <boost/filesystem/operations.hpp>

#include "tests/support/time_scale.h"

namespace nv::test {

void build_database(const std::string& source_text, const std::string& output_path)
{
    const std::string source_path = output_path + ".txt";
    write_file(source_path, source_text);
    process_options_t options;
    options.program = bin_path("nvs-tool");
    options.argv = {options.program, "build", "--key", std::string(NORVA_SOURCE_DIR) + "/keys/test-private-DO-NOT-USE.pem",
                    source_path, output_path};
    const process_result_t result = run_process(options);
    boost::system::error_code ignored;
    boost::filesystem::remove(source_path, ignored);
    if (!result.exited || result.exit_status != 0)
        throw std::runtime_error("nvs-tool build failed: " + describe(result));
}

unique_fd_t connect_client(const std::string& path)
{
    unique_fd_t fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::system_error(errno, std::generic_category(), "connect " + path);
    return fd;
}

uc::ClientMessage url_request(std::uint32_t serial, const std::string& raw_url,
                              const std::vector<UrlCategory>& categories)
{
    uc::ClientMessage message;
    message.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
    message.set_serial(serial);
    message.set_raw_url(raw_url);
    for (const UrlCategory category : categories)
        message.add_categories(category);
    return message;
}

std::optional<uc::ServerMessage> read_answer(int fd, std::chrono::milliseconds timeout)
{
    return read_message<uc::ServerMessage>(fd, scaled(timeout));
}

std::optional<uc::UrlResult> ask(int fd, std::uint32_t serial, const std::string& raw_url,
                                 const std::vector<UrlCategory>& categories)
{
    write_message(fd, url_request(serial, raw_url, categories));
    const std::optional<uc::ServerMessage> answer = read_answer(fd);
    if (!answer || answer->serial() != serial)
        return std::nullopt;
    return answer->url_result();
}

running_daemon_t::running_daemon_t(databases_t databases, process_options_t extra) : configd_(std::move(extra))
{
    config = test_configd_t::basic_config();
    config.set_client_socket_path(dir_ / "client.sock");
    if (!databases.empty()) {
        const std::string nvs_dir = dir_ / "nvs";
        boost::filesystem::create_directory(nvs_dir);
        for (const auto& [name, source] : databases)
            build_database(source, nvs_dir + "/" + name);
        config.set_nvs_dir(nvs_dir);
    }
}

bool running_daemon_t::start()
{
    if (!configd_.next(UrlCheck2ConfigdMessage::GET_CONFIG_REQUEST))
        return false;
    configd_.send_config(config, 1);
    for (;;) {
        const std::optional<UrlCheck2ConfigdMessage> info = configd_.next(UrlCheck2ConfigdMessage::MY_INFO_NOTIFICATION);
        if (!info)
            return false;
        if (info->info().nvs_state() != EC_UNKNOWN_STATE)
            return true;
    }
}

int running_daemon_t::log_count(const std::string& text)
{
    process().pump(std::chrono::milliseconds(0));
    int count = 0;
    for (std::size_t at = process().err().find(text); at != std::string::npos;
         at = process().err().find(text, at + text.size()))
        ++count;
    return count;
}

}  // namespace nv::test
