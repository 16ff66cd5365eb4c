#include "check/nvs_engine.h"

#include "nvs/url/url.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <utility>

namespace uc {

using nv::nvs::async::engine_t;
using nv::nvs::async::thread_t;

nvs_engine_t::nvs_engine_t(boost::asio::io_context& main)
    : thread_(main), engine_(std::make_unique<engine_t>(thread_)), main_(main)
{
    connection_ = engine_->signal().connect([this](const engine_t& engine) { on_engine_signal(engine); });
}

nvs_engine_t::~nvs_engine_t()
{
    stop();
}

void nvs_engine_t::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    thread_.stop();
    connection_.disconnect();
    engine_.reset();
    signal_(*this);
}

void nvs_engine_t::check(std::shared_ptr<const nv::nvs::url_t> url, nv::nvs::category_set_t mask,
                         callback_t callback)
{
    if (stopped_) {
        boost::asio::post(main_, [callback = std::move(callback)] {
            if (callback)
                callback(nv::nvs::report_t{}, thread_t::canceled());
        });
        return;
    }
    engine_->check(std::move(url), mask, std::move(callback));
}

void nvs_engine_t::reload(const std::string& dir)
{
    if (stopped_)
        return;
    engine_->reload(dir);
}

nvs_engine_t::state_t nvs_engine_t::state() const noexcept
{
    if (stopped_ || !engine_)
        return stopped;
    return engine_->estate().state == engine_t::loaded ? loaded : loading;
}

std::size_t nvs_engine_t::database_count() const noexcept
{
    return engine_ ? engine_->estate().shown_files.size() : 0;
}

void nvs_engine_t::on_engine_signal(const engine_t& engine)
{
    dir_ = engine.estate().shown_dir;
    signal_(*this);
}

} // namespace uc
