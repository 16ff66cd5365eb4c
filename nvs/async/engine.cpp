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

namespace {

// Everything one check needs on both threads, in one allocation that the task
// and its completion share.
struct check_job_t {
    check_job_t(std::shared_ptr<engine_t::estate_t> estate, std::shared_ptr<const url_t> url, category_set_t mask,
                engine_t::callback_t callback)
        : estate(std::move(estate)), url(std::move(url)), mask(mask), callback(std::move(callback))
    {
    }

    std::shared_ptr<engine_t::estate_t> estate;
    std::shared_ptr<const url_t> url;
    category_set_t mask;
    report_t report; // written by the task, read by the completion after it
    engine_t::callback_t callback; // main thread only
};

} // namespace

std::shared_ptr<engine_t::task_id_t> engine_t::check(std::shared_ptr<const url_t> url, category_set_t mask,
                                                     callback_t callback)
{
    auto job = std::make_shared<check_job_t>(estate_, std::move(url), mask, std::move(callback));
    auto task = [job]() -> boost::system::error_code {
        const estate_t& estate = *job->estate;
        index::context_t context(*job->url, estate.filter.get());
        job->report = estate.walk ? check_categories(context, *estate.walk, job->mask)
                                  : check_categories(context, estate.by_category, job->mask);
        return {};
    };
    auto completion = [job](const boost::system::error_code& ec) {
        // Out of the job first, so that the callback (and whatever it holds) is
        // destroyed here on the main thread, not on the worker with the task.
        const callback_t callback = std::move(job->callback);
        if (!callback)
            return;
        // A cancelled task may still be running on the worker: its report is
        // not to be read then.
        if (ec == thread_t::canceled())
            callback(report_t{}, ec);
        else
            callback(job->report, ec);
    };
    static_assert(thread_t::task_t::fits_inline<decltype(task)>);
    static_assert(thread_t::completion_t::fits_inline<decltype(completion)>);
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
