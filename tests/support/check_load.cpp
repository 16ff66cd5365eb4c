#include "tests/support/check_load.h"

#include <algorithm>
#include <exception>
#include <map>
#include <stdexcept>

#include "tests/support/running_daemon.h"
#include "tests/support/time_scale.h"

namespace nv::test {

namespace {

// Descriptions kept; the count goes on beyond them.
constexpr std::size_t described_faults = 20;

using clock_type = std::chrono::steady_clock;

std::string verdicts_text(const std::vector<std::vector<UrlCategory>>& verdicts)
{
    std::string text;
    for (const auto& verdict : verdicts)
        text += (text.empty() ? "" : " or ") + categories_text(verdict);
    return text;
}

}  // namespace

std::string categories_text(const std::vector<UrlCategory>& categories)
{
    std::string text = "[";
    for (std::size_t i = 0; i < categories.size(); ++i)
        text += (i ? ", " : "") + std::to_string(static_cast<int>(categories[i]));
    return text + "]";
}

check_load_t::check_load_t(options_t options)
    : options_(std::move(options)),
      rounds_(static_cast<std::size_t>(options_.clients), 0),
      ended_(static_cast<std::size_t>(options_.clients), false)
{
    if (options_.urls.empty() || options_.clients < 1 || options_.depth < 1)
        throw std::invalid_argument("check_load_t: no URLs, clients or depth");
    for (int i = 0; i < options_.clients; ++i)
        threads_.emplace_back([this, i] { run_client(i); });
}

check_load_t::~check_load_t()
{
    stop();
}

void check_load_t::stop()
{
    stopping_ = true;
    for (std::thread& thread : threads_)
        if (thread.joinable())
            thread.join();
}

bool check_load_t::wait_for_rounds(std::uint64_t rounds, std::chrono::milliseconds limit)
{
    const auto deadline = clock_type::now() + scaled(limit);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            bool done = true;
            for (std::size_t i = 0; i < rounds_.size(); ++i)
                done = done && (ended_[i] || rounds_[i] >= rounds);
            if (done)
                return true;
        }
        if (clock_type::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

check_load_t::summary_t check_load_t::summary() const
{
    std::lock_guard lock(mutex_);
    return summary_;
}

void check_load_t::fault(const std::string& text)
{
    std::lock_guard lock(mutex_);
    ++summary_.fault_count;
    if (summary_.faults.size() < described_faults)
        summary_.faults.push_back(text);
}

void check_load_t::run_client(int index)
{
    const std::string name = "client " + std::to_string(index) + ": ";
    const auto end_client = [&](const std::string& text, std::size_t unanswered) {
        fault(name + text);
        std::lock_guard lock(mutex_);
        // The unanswered requests are faults each; one description covers them.
        summary_.fault_count += unanswered > 0 ? unanswered - 1 : 0;
        ended_[static_cast<std::size_t>(index)] = true;
    };

    unique_fd_t fd;
    try {
        fd = connect_client(options_.socket_path);
    } catch (const std::exception& e) {
        end_client(std::string("cannot connect: ") + e.what(), 0);
        return;
    }
    const std::size_t url_count = options_.urls.size();
    std::uint32_t next_serial = 0;
    for (std::uint64_t round = 0; !stopping_ && (options_.max_rounds == 0 || round < options_.max_rounds); ++round) {
        // Serial -> index of its URL.
        std::map<std::uint32_t, std::size_t> outstanding;
        std::string bytes;
        for (int i = 0; i < options_.depth; ++i) {
            const std::uint32_t serial = next_serial++;
            const std::size_t url = (serial + static_cast<std::size_t>(index)) % url_count;
            bytes += frame_bytes(url_request(serial, options_.urls[url].url).SerializeAsString());
            outstanding.emplace(serial, url);
        }
        try {
            write_bytes(fd.get(), bytes);
        } catch (const std::exception& e) {
            end_client(std::string("cannot send: ") + e.what(), outstanding.size());
            return;
        }
        {
            std::lock_guard lock(mutex_);
            summary_.sent += outstanding.size();
        }
        const auto deadline = clock_type::now() + scaled(options_.answer_limit);
        while (!outstanding.empty()) {
            const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()),
                                       std::chrono::milliseconds(1));
            std::optional<uc::ServerMessage> answer;
            try {
                answer = read_message<uc::ServerMessage>(fd.get(), left);
            } catch (const std::exception& e) {
                end_client(std::string("bad answer frame: ") + e.what(), outstanding.size());
                return;
            }
            if (!answer) {
                end_client(std::to_string(outstanding.size()) + " requests unanswered (connection closed or time limit), first serial " +
                               std::to_string(outstanding.begin()->first),
                           outstanding.size());
                return;
            }
            const auto found = outstanding.find(answer->serial());
            if (!answer->has_serial() || found == outstanding.end()) {
                fault(name + "answer to serial " + std::to_string(answer->serial()) +
                      " which has no request outstanding (answered twice or never asked)");
                continue;
            }
            const expected_url_t& expected = options_.urls[found->second];
            std::vector<UrlCategory> got;
            for (const int category : answer->url_result().categories())
                got.push_back(static_cast<UrlCategory>(category));
            if (answer->url_result().error() != EC_OK ||
                std::find(expected.verdicts.begin(), expected.verdicts.end(), got) == expected.verdicts.end())
                fault(name + expected.url + " (serial " + std::to_string(found->first) + "): error " +
                      std::to_string(answer->url_result().error()) + ", categories " + categories_text(got) +
                      "; expected no error and " + verdicts_text(expected.verdicts));
            outstanding.erase(found);
            std::lock_guard lock(mutex_);
            ++summary_.answered;
        }
        {
            std::lock_guard lock(mutex_);
            ++rounds_[static_cast<std::size_t>(index)];
            ++summary_.rounds;
        }
        if (options_.pause.count() > 0)
            std::this_thread::sleep_for(options_.pause);
    }
    // Every request has had its answer: anything more is an answer twice.
    try {
        if (const std::optional<uc::ServerMessage> extra = read_message<uc::ServerMessage>(fd.get(), 100ms))
            fault(name + "answer to serial " + std::to_string(extra->serial()) + " after the last round");
    } catch (const std::exception& e) {
        fault(name + "bad frame after the last round: " + e.what());
    }
}

}  // namespace nv::test
