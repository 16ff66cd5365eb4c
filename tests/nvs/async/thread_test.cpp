#include "nvs/async/thread.h"

#include "common/error.h"
#include "tests/support/nvs_engine_support.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nv::nvs::async {
namespace {

using boost::system::error_code;
using test::run_pending;
using test::run_until;

TEST(ThreadTest, TaskRunsOnTheWorkerAndItsCompletionOnTheMainThreadWithItsResult)
{
    boost::asio::io_context main;
    thread_t thread(main);
    const auto main_id = std::this_thread::get_id();
    std::thread::id task_id, completion_id;
    std::optional<error_code> result;

    thread.post(
        [&] {
            task_id = std::this_thread::get_id();
            return error_code(EIO, boost::system::system_category());
        },
        [&](const error_code& ec) {
            completion_id = std::this_thread::get_id();
            result = ec;
        });
    ASSERT_TRUE(run_until(main, [&] { return result.has_value(); }));

    EXPECT_NE(task_id, main_id);
    EXPECT_NE(task_id, std::thread::id());
    EXPECT_EQ(completion_id, main_id);
    EXPECT_EQ(*result, error_code(EIO, boost::system::system_category()));
}

TEST(ThreadTest, EmptyTaskCountsAsSuccess)
{
    boost::asio::io_context main;
    thread_t thread(main);
    std::optional<error_code> result;
    thread.post({}, [&](const error_code& ec) { result = ec; });
    ASSERT_TRUE(run_until(main, [&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
}

TEST(ThreadTest, TasksAndCompletionsKeepThePostedOrder)
{
    boost::asio::io_context main;
    thread_t thread(main);
    std::vector<int> ran, completed; // `ran` is touched by the worker only until the end
    constexpr int count = 50;
    for (int i = 0; i < count; ++i)
        thread.post(
            [&ran, i] {
                ran.push_back(i);
                return error_code();
            },
            [&completed, i](const error_code&) { completed.push_back(i); });
    ASSERT_TRUE(run_until(main, [&] { return completed.size() == count; }));
    std::vector<int> expected;
    for (int i = 0; i < count; ++i)
        expected.push_back(i);
    EXPECT_EQ(completed, expected);
    EXPECT_EQ(ran, expected); // read after every completion: the worker is done with it
}

TEST(ThreadTest, CancelCompletesOnceWithOperationCanceledAndDropsTheLateResult)
{
    boost::asio::io_context main;
    thread_t thread(main);
    std::promise<void> release;
    auto released = release.get_future().share();
    int first_calls = 0, second_calls = 0;
    std::atomic<bool> second_ran{false};
    error_code second_ec;

    thread.post(
        [released] {
            released.wait();
            return error_code();
        },
        [&](const error_code&) { ++first_calls; });
    auto second = thread.post(
        [&] {
            second_ran = true;
            return error_code(EIO, boost::system::system_category());
        },
        [&](const error_code& ec) {
            ++second_calls;
            second_ec = ec;
        });

    second->cancel();
    EXPECT_EQ(second_calls, 0) << "the cancelled completion is posted, never called from cancel";
    ASSERT_TRUE(run_until(main, [&] { return second_calls == 1; }));
    EXPECT_EQ(second_ec, thread_t::canceled());
    EXPECT_EQ(second_ec.value(), 125);
    EXPECT_EQ(&second_ec.category(), &boost::system::system_category());

    release.set_value();
    ASSERT_TRUE(run_until(main, [&] { return first_calls == 1 && second_ran; }));
    run_pending(main);
    second->cancel(); // completed already: nothing
    run_pending(main);
    EXPECT_EQ(first_calls, 1);
    EXPECT_EQ(second_calls, 1);
    EXPECT_EQ(second_ec, thread_t::canceled());
}

TEST(ThreadTest, CancelAfterCompletionDoesNothing)
{
    boost::asio::io_context main;
    thread_t thread(main);
    int calls = 0;
    error_code result(1, boost::system::generic_category());
    auto handle = thread.post({}, [&](const error_code& ec) {
        ++calls;
        result = ec;
    });
    ASSERT_TRUE(run_until(main, [&] { return calls == 1; }));
    handle->cancel();
    run_pending(main);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(result);
}

TEST(ThreadTest, DroppingTheHandleDoesNotAffectTheTask)
{
    boost::asio::io_context main;
    thread_t thread(main);
    std::optional<error_code> result;
    thread.post([] { return error_code(EIO, boost::system::system_category()); },
                [&](const error_code& ec) { result = ec; });
    ASSERT_TRUE(run_until(main, [&] { return result.has_value(); }));
    EXPECT_EQ(result->value(), EIO);
}

// Stopping, by stop() or by destruction, with many tasks queued and some
// perhaps already run: every completion is called once, with canceled.
void expect_every_completion_canceled_once(bool by_destructor)
{
    SCOPED_TRACE(by_destructor ? "destructor" : "stop");
    boost::asio::io_context main;
    auto thread = std::make_unique<thread_t>(main);
    constexpr int count = 200;
    std::map<int, std::vector<error_code>> calls;
    std::atomic<int> ran{0};
    for (int i = 0; i < count; ++i)
        thread->post(
            [&ran] {
                ++ran;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                return error_code();
            },
            [&calls, i](const error_code& ec) { calls[i].push_back(ec); });
    if (by_destructor)
        thread.reset();
    else
        thread->stop();
    const int ran_at_stop = ran;
    run_pending(main);
    EXPECT_EQ(ran, ran_at_stop) << "no task runs after stop";
    ASSERT_EQ(calls.size(), std::size_t(count));
    for (const auto& [i, ecs] : calls) {
        SCOPED_TRACE(i);
        ASSERT_EQ(ecs.size(), 1u);
        EXPECT_EQ(ecs[0], thread_t::canceled());
    }
    if (thread) {
        thread->stop(); // twice: nothing more
        run_pending(main);
        EXPECT_EQ(calls.size(), std::size_t(count));
    }
}

TEST(ThreadTest, StopCompletesEveryQueuedTaskOnceWithOperationCanceled)
{
    expect_every_completion_canceled_once(false);
}

TEST(ThreadTest, DestructionCompletesEveryQueuedTaskOnceWithOperationCanceled)
{
    expect_every_completion_canceled_once(true);
}

TEST(ThreadTest, PostAfterStopCompletesWithCanceledWithoutRunningTheTask)
{
    boost::asio::io_context main;
    thread_t thread(main);
    thread.stop();
    EXPECT_TRUE(thread.stopped());
    bool ran = false;
    std::vector<error_code> calls;
    thread.post(
        [&] {
            ran = true;
            return error_code();
        },
        [&](const error_code& ec) { calls.push_back(ec); });
    EXPECT_TRUE(calls.empty()) << "completions always run later, from the main loop";
    run_pending(main);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], thread_t::canceled());
    EXPECT_FALSE(ran);
}

thread_local bool inside_runner = false;

TEST(ThreadTest, RunnerWrapsTheWorkerLoop)
{
    boost::asio::io_context main;
    std::atomic<int> runner_calls{0};
    thread_t thread(main, [&](const std::function<void()>& body) {
        ++runner_calls;
        inside_runner = true;
        body();
        inside_runner = false;
    });
    std::optional<bool> seen;
    bool task_saw_runner = false;
    thread.post(
        [&] {
            task_saw_runner = inside_runner;
            return error_code();
        },
        [&](const error_code&) { seen = task_saw_runner; });
    ASSERT_TRUE(run_until(main, [&] { return seen.has_value(); }));
    EXPECT_TRUE(*seen);
    thread.stop();
    EXPECT_EQ(runner_calls, 1);
}

TEST(ThreadTest, ThrowingTaskFailsOnlyItselfAndTheWorkerGoesOn)
{
    struct row_t {
        const char* name;
        std::function<error_code()> task;
        error_code expected;
    };
    const error_code eacces(EACCES, boost::system::system_category());
    const std::vector<row_t> rows = {
        {"system error", [&]() -> error_code { throw boost::system::system_error(eacces, "open"); }, eacces},
        {"other exception", []() -> error_code { throw std::runtime_error("boom"); },
         make_error_code(nv::EC_UNEXPECTED_ERROR)},
        {"non-standard exception", []() -> error_code { throw 42; }, make_error_code(nv::EC_UNEXPECTED_ERROR)},
    };
    boost::asio::io_context main;
    thread_t thread(main);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<error_code> failed, next;
        thread.post(row.task, [&](const error_code& ec) { failed = ec; });
        thread.post({}, [&](const error_code& ec) { next = ec; });
        ASSERT_TRUE(run_until(main, [&] { return failed && next; }));
        EXPECT_EQ(*failed, row.expected);
        EXPECT_FALSE(*next);
    }
}

using delivery = thread_t::delivery_t;

// Tasks posted by one handler of the main loop wait until it has returned, and
// then go over together: none starts while the handler is still running.
TEST(ThreadBatchTest, TasksPostedInOneTurnStartOnlyAfterTheTurn)
{
    boost::asio::io_context main;
    thread_t thread(main);
    std::atomic<int> ran{0};
    int ran_during_turn = -1;
    int completed = 0;
    boost::asio::post(main, [&] {
        for (int i = 0; i < 20; ++i)
            thread.post(
                [&] {
                    ++ran;
                    return error_code();
                },
                [&](const error_code&) { ++completed; }, i % 2 ? delivery::batched : delivery::ordered);
        // Long enough for an idle worker to have started a task handed to it.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ran_during_turn = ran;
    });
    ASSERT_TRUE(run_until(main, [&] { return completed == 20; }));
    EXPECT_EQ(ran_during_turn, 0);
    EXPECT_EQ(ran, 20);
}

// Batched results of one turn come back in one handler of the main loop, in
// posted order.
TEST(ThreadBatchTest, BatchedResultsOfOneTurnComeBackTogetherInOrder)
{
    boost::asio::io_context main;
    thread_t thread(main);
    constexpr int count = 100;
    std::vector<int> order;
    std::set<int> handlers_seen; // which main-loop handler called each completion
    int handler = 0;
    for (int i = 0; i < count; ++i)
        thread.post([i] { return error_code(i, boost::system::generic_category()); },
                    [&, i](const error_code& ec) {
                        EXPECT_EQ(ec.value(), i);
                        order.push_back(i);
                        handlers_seen.insert(handler);
                    },
                    delivery::batched);
    auto work = boost::asio::make_work_guard(main);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (order.size() < count && std::chrono::steady_clock::now() < deadline) {
        ++handler;
        main.run_one_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(order.size(), std::size_t(count));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_EQ(handlers_seen.size(), 1u) << "one hand-back for the whole turn";
}

// Whatever an ordered task posts to the main loop itself arrives after the
// completions of the tasks before it and before those of the tasks after it,
// as when every task came back alone.
TEST(ThreadBatchTest, OrderedTaskOfABatchKeepsItsOwnHandlersInPlace)
{
    boost::asio::io_context main;
    thread_t thread(main);
    std::vector<std::string> events;
    auto batched = [&](const std::string& name) {
        thread.post({}, [&events, name](const error_code&) { events.push_back(name); }, delivery::batched);
    };
    batched("check 1");
    batched("check 2");
    thread.post(
        [&main, &events] {
            boost::asio::post(main, [&events] { events.push_back("notice"); });
            return error_code();
        },
        [&](const error_code&) { events.push_back("reload"); });
    batched("check 3");
    batched("check 4");
    ASSERT_TRUE(run_until(main, [&] { return events.size() == 6; }));
    EXPECT_EQ(events, (std::vector<std::string>{"check 1", "check 2", "notice", "reload", "check 3", "check 4"}));
}

TEST(ThreadBatchTest, CancellingOneTaskOfABatchLeavesTheOthers)
{
    boost::asio::io_context main;
    thread_t thread(main);
    constexpr int count = 5;
    std::map<int, std::vector<error_code>> calls;
    std::vector<std::shared_ptr<thread_t::task_id_t>> handles;
    for (int i = 0; i < count; ++i)
        handles.push_back(thread.post([i] { return error_code(100 + i, boost::system::generic_category()); },
                                      [&calls, i](const error_code& ec) { calls[i].push_back(ec); },
                                      delivery::batched));
    handles[2]->cancel();
    ASSERT_TRUE(run_until(main, [&] { return calls.size() == count; }));
    run_pending(main);
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(calls[i].size(), 1u);
        EXPECT_EQ(calls[i][0], i == 2 ? thread_t::canceled() : error_code(100 + i, boost::system::generic_category()));
    }
}

// A completion that throws leaves the main loop; the completions after it in
// its batch are still called, each once, when the loop runs again.
TEST(ThreadBatchTest, ThrowingCompletionDoesNotLoseTheRestOfItsBatch)
{
    boost::asio::io_context main;
    thread_t thread(main);
    constexpr int count = 4;
    std::map<int, int> calls;
    for (int i = 0; i < count; ++i)
        thread.post({},
                    [&calls, i](const error_code&) {
                        ++calls[i];
                        if (i == 1)
                            throw std::runtime_error("completion failed");
                    },
                    delivery::batched);
    bool thrown = false;
    try {
        run_until(main, [&] { return calls.size() == count; });
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    EXPECT_TRUE(thrown);
    ASSERT_TRUE(run_until(main, [&] { return calls.size() == count; }));
    run_pending(main);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(calls[i], 1) << i;
}

// stop() while the worker is in the middle of a batch: the running task
// finishes, the rest of the batch does not start, and every completion is
// called once, with canceled.
TEST(ThreadBatchTest, StopInTheMiddleOfABatchRunsNoMoreOfIt)
{
    boost::asio::io_context main;
    thread_t thread(main);
    constexpr int count = 50;
    std::atomic<bool> first_started{false}, stopping{false};
    std::atomic<int> ran{0};
    std::map<int, std::vector<error_code>> calls;
    for (int i = 0; i < count; ++i)
        thread.post(
            [&, i] {
                ++ran;
                if (i == 0) {
                    first_started = true;
                    while (!stopping)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    // stop() is being called; give it ample time to get there.
                    std::this_thread::sleep_for(std::chrono::seconds(2));
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                return error_code();
            },
            [&calls, i](const error_code& ec) { calls[i].push_back(ec); }, delivery::batched);
    // Hand the batch over, then wait on this thread for its first task.
    boost::asio::post(main, [] {});
    run_pending(main, std::chrono::milliseconds(1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!first_started && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(first_started);
    stopping = true;
    thread.stop();
    EXPECT_LT(ran, count) << "the rest of the batch ran after stop()";
    run_pending(main);
    ASSERT_EQ(calls.size(), std::size_t(count));
    for (const auto& [i, ecs] : calls) {
        SCOPED_TRACE(i);
        ASSERT_EQ(ecs.size(), 1u);
        EXPECT_EQ(ecs[0], thread_t::canceled());
    }
}

} // namespace
} // namespace nv::nvs::async
