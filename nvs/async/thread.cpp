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

// An intrusive list, so that entering and leaving it costs no allocation and
// no search, however many tasks are in flight.
struct thread_t::pending_t {
    task_impl_t* first = nullptr;
    task_impl_t* last = nullptr;
};

class thread_t::task_impl_t : public task_id_t, public std::enable_shared_from_this<task_impl_t> {
public:
    task_impl_t(boost::asio::io_context& main, completion_t completion, std::shared_ptr<pending_t> pending)
        : main_(main), completion_(std::move(completion)), pending_(std::move(pending))
    {
    }

    // Main thread, once, right after construction: enters the pending list,
    // which holds the task until it leaves.
    void enter()
    {
        self_ = shared_from_this();
        previous_ = pending_->last;
        (previous_ ? previous_->next_ : pending_->first) = this;
        pending_->last = this;
    }

    void cancel() override
    {
        const std::shared_ptr<task_impl_t> self = leave();
        if (!self)
            return;
        boost::asio::post(main_, [completion = take_completion()] { completion(canceled()); });
    }

    // Main thread: the task's result arrived.
    void finish(const boost::system::error_code& ec)
    {
        const std::shared_ptr<task_impl_t> self = leave();
        if (!self)
            return;
        take_completion()(ec);
    }

    static task_impl_t* first_pending(const pending_t& pending) noexcept { return pending.first; }

private:
    // Leaves the pending list, once; the list's reference to the task is handed
    // to the caller, who keeps the task alive until it is done with it. Empty
    // when the task has left already.
    std::shared_ptr<task_impl_t> leave() noexcept
    {
        if (!self_)
            return {};
        (previous_ ? previous_->next_ : pending_->first) = next_;
        (next_ ? next_->previous_ : pending_->last) = previous_;
        previous_ = next_ = nullptr;
        return std::move(self_);
    }

    // An empty completion still counts as completed: hand out a no-op.
    completion_t take_completion() noexcept
    {
        completion_t completion = std::move(completion_);
        if (!completion)
            completion = [](const boost::system::error_code&) {};
        return completion;
    }

    boost::asio::io_context& main_;
    completion_t completion_;
    std::shared_ptr<pending_t> pending_;
    // Main thread: set while the task is in the pending list.
    std::shared_ptr<task_impl_t> self_;
    task_impl_t* previous_ = nullptr;
    task_impl_t* next_ = nullptr;
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
    // In posted order; each cancel takes its task out of the list.
    while (task_impl_t* first = task_impl_t::first_pending(*pending_))
        first->cancel();
}

} // namespace nv::nvs::async
