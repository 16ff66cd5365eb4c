#pragma once
// The database worker: one thread with an event loop of its own. Tasks run
// there one after the other in the order posted; every completion runs later
// on the main event loop, exactly once.
//
// Hand-over is by batch, to spare both threads a wake-up per task: the tasks
// posted during one turn of the main loop go to the worker together once the
// handler that posted them has returned, and their results come back together
// in one handler of the main loop, which calls the completions in posted
// order. Tasks therefore start only while the main loop runs.

#include "common/small_function.h"

#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace boost::asio {
class io_context;
}

namespace nv::nvs::async {

class thread_t {
public:
    // Handle of a posted task. Holding or dropping it does not affect the task.
    class task_id_t {
    public:
        virtual ~task_id_t() = default;
        // Main thread. Completes the task with the operation-canceled error
        // unless it has completed already; a task already running on the worker
        // finishes there and its result is dropped.
        virtual void cancel() = 0;
    };
    // Move-only; a task or completion holding no more than a shared pointer or
    // two costs no allocation of its own.
    using task_t = small_function_t<boost::system::error_code(), 32>;
    using completion_t = small_function_t<void(const boost::system::error_code&), 32>;
    // Runs the worker-loop body it is given (it must call it) on the worker thread.
    using runner_t = std::function<void(const std::function<void()>&)>;

    // How the result of a task travels back to the main loop.
    enum class delivery_t {
        // The task may post handlers of its own to the main loop (the notices
        // of a reload): the completions of the tasks before it are sent before
        // it starts, so that the main loop sees everything in posted order.
        ordered,
        // The task posts nothing itself: its completion travels with those of
        // the other tasks of its batch.
        batched,
    };

    // Starts the worker thread. `main` must outlive this object. With an empty
    // runner the thread runs the body directly.
    explicit thread_t(boost::asio::io_context& main, runner_t runner = {});
    ~thread_t(); // stop()
    thread_t(const thread_t&) = delete;
    thread_t& operator=(const thread_t&) = delete;

    // Main thread. Runs `task` (empty: success) on the worker, then `completion`
    // with its result on the main loop. After stop() the completion gets the
    // operation-canceled error instead. A task that throws completes with the
    // error code its exception stands for; the worker goes on. A completion
    // that throws leaves the main loop; the later completions of its batch are
    // still called, from a further handler.
    std::shared_ptr<task_id_t> post(task_t task, completion_t completion,
                                    delivery_t delivery = delivery_t::ordered);

    // Main thread. Stops the worker loop and joins the thread (a running task
    // finishes first; the rest of its batch does not start); tasks not yet run
    // are dropped and every pending completion gets the operation-canceled
    // error. Idempotent.
    void stop();

    bool stopped() const noexcept { return !worker_; }
    boost::asio::io_context& main_loop() const noexcept { return main_; }

    // The error code of a cancelled task: ECANCELED in the system category.
    static boost::system::error_code canceled() noexcept;

private:
    class task_impl_t;
    struct loop_t;
    struct job_t;
    struct batch_t;
    struct intake_t;
    // The tasks whose completion is still to be called, in posted order.
    struct pending_t;

    static void hand_over(const std::shared_ptr<intake_t>& intake);
    static void finish(const std::shared_ptr<batch_t>& batch, std::size_t to);

    std::shared_ptr<pending_t> pending_;
    boost::asio::io_context& main_;
    std::unique_ptr<loop_t> worker_;
    // Tasks posted during the current turn of the main loop; shared with the
    // handler that hands them over, which may run after this object is gone.
    std::shared_ptr<intake_t> intake_;
    std::thread thread_;
};

} // namespace nv::nvs::async
