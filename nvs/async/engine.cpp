#include "nvs/async/engine.h"

#include "nvs/async/reload.h"
#include "nvs/find_in_set.h"
#include "nvs/index/context.h"
#include "nvs/url/url.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <utility>

namespace nv::nvs::async {

engine_t::engine_t(thread_t& thread)
    : thread_(thread), estate_(std::make_shared<estate_t>())
{
    estate_->notify = [this] { signal_(*this); };
}

engine_t::~engine_t()
{
    estate_->notify = nullptr;
}

std::shared_ptr<engine_t::task_id_t> engine_t::check(std::shared_ptr<const url_t> url, category_set_t mask,
                                                     callback_t callback)
{
    auto report = std::make_shared<report_t>();
    auto task = [estate = estate_, report, url = std::move(url), mask]() -> boost::system::error_code {
        index::context_t context(*url, estate->filter.get());
        *report = estate->walk ? check_categories(context, *estate->walk, mask)
                               : check_categories(context, estate->by_category, mask);
        return {};
    };
    auto completion = [report, callback = std::move(callback)](const boost::system::error_code& ec) {
        if (callback)
            callback(*report, ec);
    };
    // The check posts nothing of its own: its result can wait for its batch.
    return thread_.post(std::move(task), std::move(completion), thread_t::delivery_t::batched);
}

std::shared_ptr<engine_t::task_id_t> engine_t::reload(std::string dir)
{
    auto task = [&main = thread_.main_loop(), weak = std::weak_ptr<estate_t>(estate_),
                 dir = std::move(dir)]() -> boost::system::error_code {
        auto estate = weak.lock();
        if (!estate)
            return {};
        boost::asio::post(main, [weak, dir] {
            if (auto estate = weak.lock()) {
                estate->state = loading;
                estate->shown_dir = dir;
                estate->shown_files.clear();
                if (estate->notify)
                    estate->notify();
            }
        });
        // The end notice goes out even if the reload fails half-way, so that the
        // main thread never waits in the loading state for ever.
        auto publish = [&] {
            boost::asio::post(main, [weak, files = estate->files] {
                if (auto estate = weak.lock()) {
                    estate->state = loaded;
                    estate->shown_files = files;
                    if (estate->notify)
                        estate->notify();
                }
            });
        };
        try {
            reload_databases(*estate, dir);
        } catch (...) {
            publish();
            throw;
        }
        publish();
        return {};
    };
    return thread_.post(std::move(task), {});
}

} // namespace nv::nvs::async
