#include "nvs/async/helper_thread.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <stdexcept>

namespace nv::nvs::async {
namespace {

TEST(HelperThread, RunsTheirShareOnAnotherThreadAndReturnsWhenBothAreDone)
{
    helper_thread_t helper;
    for (int round = 0; round < 50; ++round) {
        pthread_t theirs_on{}, mine_on{};
        std::atomic<bool> theirs_done{false};
        helper.run_beside([&] { theirs_on = ::pthread_self(), theirs_done = true; },
                          [&] { mine_on = ::pthread_self(); });
        ASSERT_TRUE(theirs_done) << "round " << round;
        EXPECT_TRUE(::pthread_equal(mine_on, ::pthread_self()));
        EXPECT_FALSE(::pthread_equal(theirs_on, ::pthread_self()));
    }
}

TEST(HelperThread, FailuresOfEitherShareReachTheOwnerAfterBothEnded)
{
    helper_thread_t helper;
    std::atomic<bool> theirs_done{false};
    EXPECT_THROW(helper.run_beside([] { throw std::runtime_error("theirs"); }, [] {}), std::runtime_error);
    try {
        helper.run_beside([&] { theirs_done = true; }, [] { throw std::logic_error("mine"); });
        ADD_FAILURE() << "nothing raised";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "mine");
        EXPECT_TRUE(theirs_done);
    }
    // Still usable afterwards.
    bool ran = false;
    helper.run_beside([&] { ran = true; }, [] {});
    EXPECT_TRUE(ran);
}

TEST(HelperThread, DestroyedWhileIdleOrRightAfterAStartReturns)
{
    { helper_thread_t idle; }
    std::atomic<int> runs{0};
    {
        helper_thread_t started;
        started.start([&] { ++runs; });
    } // waits for the job, then ends the thread
    EXPECT_EQ(runs, 1);
}

} // namespace
} // namespace nv::nvs::async
