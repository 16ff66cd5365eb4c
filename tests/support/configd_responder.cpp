#include "tests/support/configd_responder.h"

#include <cerrno>
#include <exception>

#include <poll.h>

#include "tests/support/time_scale.h"

namespace nv::test {

configd_responder_t::configd_responder_t(test_configd_t& configd, UrlCheckConfig config, std::uint32_t last_revision)
    : configd_(configd), config_(std::move(config)), revision_(last_revision)
{
    thread_ = std::thread([this] { serve(); });
}

configd_responder_t::~configd_responder_t()
{
    stop();
}

void configd_responder_t::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
}

void configd_responder_t::set_cloudd_path(const std::string& path)
{
    std::lock_guard lock(mutex_);
    cloudd_path_ = path;
}

void configd_responder_t::set_config(const UrlCheckConfig& config)
{
    std::lock_guard lock(mutex_);
    config_ = config;
}

std::uint32_t configd_responder_t::send_config()
{
    std::lock_guard lock(mutex_);
    send_config_locked();
    return revision_;
}

void configd_responder_t::send_config_locked()
{
    // Under the lock: both threads send, and frames must not interleave.
    ++revision_;
    ++configs_sent_;
    configd_.send_config(config_, revision_);
}

int configd_responder_t::count(tag_t tag) const
{
    std::lock_guard lock(mutex_);
    const auto found = counts_.find(tag);
    return found == counts_.end() ? 0 : found->second;
}

int configd_responder_t::configs_sent() const
{
    std::lock_guard lock(mutex_);
    return configs_sent_;
}

std::vector<configd_responder_t::info_t> configd_responder_t::infos() const
{
    std::lock_guard lock(mutex_);
    return infos_;
}

std::string configd_responder_t::failure() const
{
    std::lock_guard lock(mutex_);
    return failure_;
}

bool configd_responder_t::wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + scaled(limit);
    while (!predicate()) {
        std::unique_lock lock(mutex_);
        if (!failure_.empty() || std::chrono::steady_clock::now() >= deadline)
            return false;
        changed_.wait_for(lock, 50ms);
    }
    return true;
}

bool configd_responder_t::wait_settled(std::chrono::milliseconds limit)
{
    // Two notifications per configuration, so that one that got ahead of the
    // other cannot make a reload look finished.
    std::unique_lock lock(mutex_);
    const auto expected = [this] { return 2 * static_cast<std::size_t>(configs_sent_); };
    changed_.wait_for(lock, scaled(limit), [&] { return infos_.size() >= expected() || !failure_.empty(); });
    return infos_.size() == expected();
}

void configd_responder_t::serve()
{
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        pollfd p{configd_.socket(), POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) {
            std::lock_guard lock(mutex_);
            failure_ = "poll failed";
            changed_.notify_all();
            return;
        }
        if (ready <= 0)
            continue;
        try {
            // The daemon writes each frame whole: once readable, the frame follows.
            std::optional<UrlCheck2ConfigdMessage> message = configd_.read(10s);
            if (!message) {
                std::lock_guard lock(mutex_);
                failure_ = "the daemon closed the ConfigD socket";
                changed_.notify_all();
                return;
            }
            handle(*message);
        } catch (const std::exception& e) {
            std::lock_guard lock(mutex_);
            failure_ = e.what();
            changed_.notify_all();
            return;
        }
    }
}

void configd_responder_t::handle(const UrlCheck2ConfigdMessage& message)
{
    std::lock_guard lock(mutex_);
    ++counts_[message.tag()];
    switch (message.tag()) {
    case UrlCheck2ConfigdMessage::GET_CONFIG_REQUEST:
        send_config_locked();
        break;
    case UrlCheck2ConfigdMessage::MY_INFO_NOTIFICATION:
        infos_.push_back({message.config_revision(), message.info().nvs_state()});
        break;
    case UrlCheck2ConfigdMessage::GET_CLOUDD_REQUEST:
        if (cloudd_path_) {
            Configd2UrlCheckMessage answer;
            answer.set_tag(Configd2UrlCheckMessage::GET_CLOUDD_RESPONSE);
            answer.set_socket_path(*cloudd_path_);
            configd_.send(answer);
        }
        break;
    default:
        break;
    }
    changed_.notify_all();
}

}  // namespace nv::test
