#include "tests/support/test_configd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/time_scale.h"

namespace nv::test {

namespace {

process_options_t daemon_options(process_options_t options, int socket)
{
    options.program = bin_path("norva-urlcheck");
    options.argv.clear();
    options.set_env["COM_NORVA_MONITOR"] = std::to_string(test_configd_t::daemon_descriptor);
    options.unset_env.push_back("COM_NORVA_ADD_LOG_PIPE");
    options.inherit.emplace_back(test_configd_t::daemon_descriptor, socket);
    return options;
}

}  // namespace

test_configd_t::test_configd_t(process_options_t extra) : test_configd_t(socket_pair(), std::move(extra)) {}

test_configd_t::test_configd_t(std::pair<unique_fd_t, unique_fd_t> pair, process_options_t extra)
    : socket_(std::move(pair.first)),
      daemon_(child_process_t::start(daemon_options(std::move(extra), pair.second.get())))
{
    // pair.second, the daemon's end, closes here: the daemon holds the only copy.
}

UrlCheckConfig test_configd_t::basic_config()
{
    UrlCheckConfig config;
    config.set_log_level(LOG_LEVEL_DEBUG);
    config.mutable_actual_log()->set_type(Log::STDERR);
    config.mutable_run_as_user()->set_uid(::getuid());
    config.set_use_cloud(false);
    return config;
}

void test_configd_t::send(const Configd2UrlCheckMessage& message)
{
    write_message(socket_.get(), message);
}

void test_configd_t::send_config(const UrlCheckConfig& config, std::uint32_t revision)
{
    Configd2UrlCheckMessage message;
    message.set_tag(Configd2UrlCheckMessage::GET_CONFIG_RESPONSE);
    message.set_config_revision(revision);
    *message.mutable_config() = config;
    send(message);
}

void test_configd_t::shut_down_writing()
{
    if (::shutdown(socket_.get(), SHUT_WR) != 0)
        throw std::runtime_error("shutdown of the ConfigD socket failed");
}

void test_configd_t::send_raw(std::string_view bytes)
{
    write_bytes(socket_.get(), bytes);
}

std::optional<UrlCheck2ConfigdMessage> test_configd_t::read(std::chrono::milliseconds timeout)
{
    return read_message<UrlCheck2ConfigdMessage>(socket_.get(), scaled(timeout));
}

std::optional<UrlCheck2ConfigdMessage> test_configd_t::next(UrlCheck2ConfigdMessage::MessageTag tag,
                                                            std::chrono::milliseconds timeout)
{
    return next_until(tag, clock_type::now() + scaled(timeout));
}

std::optional<UrlCheck2ConfigdMessage> test_configd_t::next_info(std::uint32_t revision,
                                                                 std::chrono::milliseconds timeout)
{
    return next_info_until(revision, clock_type::now() + scaled(timeout));
}

std::optional<UrlCheck2ConfigdMessage> test_configd_t::next_until(UrlCheck2ConfigdMessage::MessageTag tag,
                                                                  clock_type::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left <= std::chrono::milliseconds(0))
            return std::nullopt;
        std::optional<UrlCheck2ConfigdMessage> message = read_message<UrlCheck2ConfigdMessage>(socket_.get(), left);
        if (!message || message->tag() == tag)
            return message;
    }
}

std::optional<UrlCheck2ConfigdMessage> test_configd_t::next_info_until(std::uint32_t revision,
                                                                       clock_type::time_point deadline)
{
    for (;;) {
        std::optional<UrlCheck2ConfigdMessage> info = next_until(UrlCheck2ConfigdMessage::MY_INFO_NOTIFICATION, deadline);
        if (!info || info->config_revision() >= revision)
            return info;
    }
}

int test_configd_t::count(UrlCheck2ConfigdMessage::MessageTag tag, std::chrono::milliseconds period)
{
    // A period the test counts in, not a limit: never stretched.
    const auto deadline = clock_type::now() + period;
    int found = 0;
    while (next_until(tag, deadline))
        ++found;
    return found;
}

bool test_configd_t::configure(const UrlCheckConfig& config, std::uint32_t revision)
{
    if (!next(UrlCheck2ConfigdMessage::GET_CONFIG_REQUEST))
        return false;
    send_config(config, revision);
    const std::optional<UrlCheck2ConfigdMessage> info = next_info(revision);
    return info && info->config_revision() == revision;
}

}  // namespace nv::test
