#include "tests/support/nvs_engine_support.h"
#include "tests/support/time_scale.h"

#include <boost/asio/executor_work_guard.hpp>

#include <utility>

namespace nv::nvs::test {

log_capture_t::log_capture_t()
{
    log_t::instance().set_threshold(log_t::debug);
    log_t::instance().set_handler([this](log_t::level_t level, std::string_view text) {
        std::lock_guard lock(mutex_);
        lines_.push_back({level, std::string(text)});
    });
}

log_capture_t::~log_capture_t()
{
    log_t::instance().set_default_handler();
    log_t::instance().set_threshold(log_t::debug);
}

std::vector<log_capture_t::line_t> log_capture_t::lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<log_capture_t::line_t> log_capture_t::take()
{
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
}

std::vector<std::string> log_capture_t::texts(const std::string& prefix) const
{
    std::vector<std::string> out;
    for (const auto& line : lines())
        if (line.text.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line.text);
    return out;
}

bool run_until(boost::asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto work = boost::asio::make_work_guard(io);
    const auto deadline = std::chrono::steady_clock::now() + nv::test::scaled(limit);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (io.stopped())
            io.restart();
        io.run_one_for(std::chrono::milliseconds(20));
    }
    return true;
}

void run_pending(boost::asio::io_context& io, std::chrono::milliseconds quiet)
{
    auto work = boost::asio::make_work_guard(io);
    if (io.stopped())
        io.restart();
    while (io.run_one_for(quiet) > 0) {
    }
}

} // namespace nv::nvs::test
