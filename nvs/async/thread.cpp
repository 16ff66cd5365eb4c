#include "nvs/async/thread.h"

#include "common/exception.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cerrno>
#include <exception>
#include <utility>

namespace nv::nvs::async {

struct thread_t::loop_t {
    boost::asio::io_context context;
    // Keeps run() going while no task is queued.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
};

class thread_t::task_impl_t : public task_id_t, public std::enable_shared_from_this<task_impl_t> {
public:
    task_impl_t(boost::asio::io_context& main, completion_t completion, std::shared_ptr<pending_t> pending)
        : main_(main), completion_(std::move(completion)), pending_(std::move(pending))
    {
    }

    void cancel() override
    {
        if (auto completion = take())
            boost::asio::post(main_, [completion = std::move(completion)] { completion(canceled()); });
    }

    // Main thread: the task's result arrived.
    void finish(const boost::system::error_code& ec)
    {
        if (auto completion = take())
            completion(ec);
    }

private:
    // Leaves the pending set; the completion is handed out only to the first caller.
    completion_t take()
    {
        auto it = pending_->find(shared_from_this());
        if (it == pending_->end())
            return {};
        pending_->erase(it);
        completion_t completion = std::move(completion_);
        completion_ = nullptr;
        // An empty completion still counts as completed: hand out a no-op.
        if (!completion)
            completion = [](const boost::system::error_code&) {};
        return completion;
    }

    boost::asio::io_context& main_;
    completion_t completion_;
    std::shared_ptr<pending_t> pending_;
};

thread_t::thread_t(boost::asio::io_context& main, runner_t runner)
    : pending_(std::make_shared<pending_t>()), main_(main), worker_(std::make_unique<loop_t>())
{
    std::function<void()> body = [context = &worker_->context] { context->run(); };
    thread_ = std::thread([body = std::move(body), runner = std::move(runner)] {
        if (runner)
            runner(body);
        else
            body();
    });
}

thread_t::~thread_t()
{
    stop();
}

boost::system::error_code thread_t::canceled() noexcept
{
    return {ECANCELED, boost::system::system_category()};
}

std::shared_ptr<thread_t::task_id_t> thread_t::post(task_t task, completion_t completion)
{
    auto handle = std::make_shared<task_impl_t>(main_, std::move(completion), pending_);
    pending_->insert(handle);
    if (!worker_) {
        handle->cancel();
        return handle;
    }
    boost::asio::post(worker_->context, [handle, task = std::move(task), &main = main_] {
        boost::system::error_code ec;
        try {
            if (task)
                ec = task();
        } catch (const std::exception& e) {
            // The worker serves every later task too: a failing task only fails itself.
            ec = error_code_of(e);
        } catch (...) {
            ec = make_error_code(nv::EC_UNEXPECTED_ERROR);
        }
        boost::asio::post(main, [handle, ec] { handle->finish(ec); });
    });
    return handle;
}

void thread_t::stop()
{
    if (!worker_)
        return;
    worker_->context.stop();
    if (thread_.joinable())
        thread_.join();
    // Queued tasks are destroyed here, on the main thread, without running.
    worker_.reset();
    while (!pending_->empty()) {
        auto handle = *pending_->begin();
        handle->cancel();
    }
}

} // namespace nv::nvs::async
