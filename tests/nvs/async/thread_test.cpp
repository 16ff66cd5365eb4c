#include "nvs/async/thread.h"

#include "common/error.h"
#include "tests/support/nvs_engine_support.h"

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <stdexcept>
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

} // namespace
} // namespace nv::nvs::async
