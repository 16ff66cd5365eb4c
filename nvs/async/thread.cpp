#include "nvs/async/thread.h"

#include "common/exception.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <cerrno>
#include <exception>
#include <utility>
#include <vector>

namespace nv::nvs::async {

struct thread_t::loop_t {
    boost::asio::io_context context;
    // Keeps run() going while no task is queued.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    // Set by stop() before the loop is stopped: the batch being run gives up
    // at its next task instead of making stop() wait for all of it.
    std::atomic<bool> stopping{false};
};

class thread_t::task_impl_t : public task_id_t, public std::enable_shared_from_this<task_impl_t> {
public:
    task_impl_t(boost::asio::io_context& main, completion_t completion, std::shared_ptr<pending_t> pending)
        : main_(main), completion_(std::move(completion)), pending_(std::move(pending))
    {
    }

    // Main thread, once, right after construction: enters the pending set.
    void enter()
    {
        where_ = pending_->insert(shared_from_this()).first;
        pending_now_ = true;
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
        if (!pending_now_)
            return {};
        pending_now_ = false;
        // By position: no search of a set that holds every task in flight.
        pending_->erase(where_);
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
    // Main thread: in the pending set, at where_.
    bool pending_now_ = false;
    pending_t::iterator where_;
};

// One posted task on its way to the worker and back.
struct thread_t::job_t {
    std::shared_ptr<task_impl_t> handle;
    task_t task;
    delivery_t delivery;
    boost::system::error_code result;
};

// Main thread only.
struct thread_t::intake_t {
    intake_t(boost::asio::io_context& main, loop_t* loop) : main(main), loop(loop) {}

    boost::asio::io_context& main;
    loop_t* loop; // null once stopped
    std::vector<job_t> jobs;
    // The storage of a finished batch, kept so that the next turns reuse it
    // instead of growing a vector from nothing every time.
    std::vector<job_t> spare;
};

// The tasks of one hand-over. The worker fills in results front to back and
// sends them in order; the main loop calls the completions of those sent.
// Both touch disjoint jobs: the main loop only those already sent.
struct thread_t::batch_t {
    batch_t(boost::asio::io_context& main, std::weak_ptr<intake_t> intake) : main(main), intake(std::move(intake)) {}

    boost::asio::io_context& main;
    std::weak_ptr<intake_t> intake;
    std::vector<job_t> jobs;
    std::size_t finished = 0; // main thread: completions called so far
};

namespace {

boost::system::error_code run_task(const thread_t::task_t& task) noexcept
{
    try {
        return task ? task() : boost::system::error_code();
    } catch (const std::exception& e) {
        // The worker serves every later task too: a failing task only fails itself.
        return error_code_of(e);
    } catch (...) {
        return make_error_code(nv::EC_UNEXPECTED_ERROR);
    }
}

} // namespace

thread_t::thread_t(boost::asio::io_context& main, runner_t runner)
    : pending_(std::make_shared<pending_t>()), main_(main), worker_(std::make_unique<loop_t>()),
      intake_(std::make_shared<intake_t>(main, worker_.get()))
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

std::shared_ptr<thread_t::task_id_t> thread_t::post(task_t task, completion_t completion, delivery_t delivery)
{
    auto handle = std::make_shared<task_impl_t>(main_, std::move(completion), pending_);
    handle->enter();
    if (!worker_) {
        handle->cancel();
        return handle;
    }
    intake_->jobs.push_back(job_t{handle, std::move(task), delivery, {}});
    // The first task of this turn: the hand-over runs once the handler posting
    // it (and whatever else is ready) has returned, and takes every task
    // posted until then.
    if (intake_->jobs.size() == 1)
        boost::asio::post(main_, [intake = std::weak_ptr<intake_t>(intake_)] {
            if (auto locked = intake.lock())
                hand_over(locked);
        });
    return handle;
}

void thread_t::hand_over(const std::shared_ptr<intake_t>& intake_ptr)
{
    intake_t& intake = *intake_ptr;
    if (intake.jobs.empty() || !intake.loop)
        return;
    auto batch = std::make_shared<batch_t>(intake.main, intake_ptr);
    batch->jobs.swap(intake.jobs);
    intake.jobs.swap(intake.spare);
    loop_t* loop = intake.loop;
    boost::asio::post(loop->context, [batch, loop] {
        // Worker thread. `sent`: the jobs before it have had their results sent.
        std::size_t sent = 0;
        auto send = [&](std::size_t to) {
            if (to == sent)
                return;
            boost::asio::post(batch->main, [batch, to] { finish(batch, to); });
            sent = to;
        };
        // Once everything is sent the main loop may recycle the vector: only
        // this count is used after that.
        const std::size_t count = batch->jobs.size();
        for (std::size_t i = 0; i < count; ++i) {
            // stop() cancels whatever has not been sent.
            if (loop->stopping.load(std::memory_order_relaxed))
                return;
            job_t& job = batch->jobs[i];
            const bool ordered = job.delivery == delivery_t::ordered;
            if (ordered)
                send(i);
            job.result = run_task(job.task);
            job.task = nullptr;
            if (ordered)
                send(i + 1);
        }
        send(count);
    });
}

void thread_t::finish(const std::shared_ptr<batch_t>& batch, std::size_t to)
{
    while (batch->finished < to) {
        job_t& job = batch->jobs[batch->finished++];
        const std::shared_ptr<task_impl_t> handle = std::move(job.handle);
        try {
            handle->finish(job.result);
        } catch (...) {
            // The rest of the batch must not be lost with the handler that throws.
            if (batch->finished < to)
                boost::asio::post(batch->main, [batch, to] { finish(batch, to); });
            throw;
        }
    }
    if (batch->finished < batch->jobs.size())
        return;
    if (auto intake = batch->intake.lock(); intake && intake->spare.capacity() < batch->jobs.capacity()) {
        batch->jobs.clear();
        intake->spare.swap(batch->jobs);
    }
}

void thread_t::stop()
{
    if (!worker_)
        return;
    worker_->stopping = true;
    worker_->context.stop();
    if (thread_.joinable())
        thread_.join();
    // Batches handed over but not run are destroyed here, on the main thread,
    // and so are tasks never handed over.
    worker_.reset();
    intake_->loop = nullptr;
    intake_->jobs.clear();
    while (!pending_->empty()) {
        auto handle = *pending_->begin();
        handle->cancel();
    }
}

} // namespace nv::nvs::async
