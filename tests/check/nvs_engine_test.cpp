#include "check/nvs_engine.h"

#include "nvs/file.h"
#include "nvs/url/url.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_engine_support.h"
#include "tests/support/nvs_fixture.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <thread>
#include <vector>

namespace uc {
namespace {

using boost::system::error_code;
using nv::nvs::report_t;
using nv::nvs::url_t;
using nv::nvs::test::run_pending;
using nv::nvs::test::run_until;

const error_code canceled(125, boost::system::system_category());

void write_gamble(const std::string& path)
{
    nv::nvs::test::database_spec_t spec;
    spec.name = "gamble";
    spec.patterns = {"alpha"};
    nv::nvs::test::write_database(path, spec);
}

struct seen_t {
    int state;
    std::string dir;
    std::size_t databases;
};

class NvsEngineTest : public ::testing::Test {
protected:
    NvsEngineTest()
    {
        engine_ = std::make_unique<nvs_engine_t>(main_);
        engine_->signal().connect([this](const nvs_engine_t& e) {
            seen_.push_back({e.state(), e.dir(), e.database_count()});
        });
    }

    std::pair<report_t, error_code> check(const std::string& url)
    {
        std::optional<std::pair<report_t, error_code>> result;
        engine_->check(std::make_shared<url_t>(url), 0xFFFFFFFF,
                       [&](const report_t& r, const error_code& ec) { result.emplace(r, ec); });
        EXPECT_TRUE(run_until(main_, [&] { return result.has_value(); }));
        return result.value_or(std::pair<report_t, error_code>{});
    }

    boost::asio::io_context main_;
    nv::nvs::test::log_capture_t log_;
    nv::nvs::test::temp_dir_t dir_;
    std::vector<seen_t> seen_;
    std::unique_ptr<nvs_engine_t> engine_;
};

TEST_F(NvsEngineTest, FollowsTheEngineThroughAReload)
{
    EXPECT_EQ(engine_->state(), nvs_engine_t::loading);
    EXPECT_EQ(engine_->database_count(), 0u);
    write_gamble(dir_.file("a.nvs"));

    engine_->reload(dir_.path());
    ASSERT_TRUE(run_until(main_, [&] { return seen_.size() == 2; }));

    EXPECT_EQ(seen_[0].state, nvs_engine_t::loading);
    EXPECT_EQ(seen_[0].dir, dir_.path());
    EXPECT_EQ(seen_[0].databases, 0u);
    EXPECT_EQ(seen_[1].state, nvs_engine_t::loaded);
    EXPECT_EQ(seen_[1].dir, dir_.path());
    EXPECT_EQ(seen_[1].databases, 1u);
    auto [report, ec] = check("http://alpha/");
    EXPECT_FALSE(ec);
    EXPECT_EQ(report.categories, 1u << 5);
}

TEST_F(NvsEngineTest, StopIsFinalAndSignalled)
{
    write_gamble(dir_.file("a.nvs"));
    engine_->reload(dir_.path());
    ASSERT_TRUE(run_until(main_, [&] { return seen_.size() == 2; }));
    seen_.clear();

    engine_->stop();
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].state, nvs_engine_t::stopped);
    EXPECT_EQ(seen_[0].databases, 0u);
    EXPECT_EQ(engine_->engine(), nullptr);

    // A check after the stop completes later, from the loop, with nothing found.
    std::vector<std::pair<report_t, error_code>> calls;
    engine_->check(std::make_shared<url_t>("http://alpha/"), 0xFFFFFFFF,
                   [&](const report_t& r, const error_code& ec) { calls.emplace_back(r, ec); });
    EXPECT_TRUE(calls.empty());
    engine_->reload(dir_.path());
    engine_->stop();
    run_pending(main_);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, report_t{});
    EXPECT_EQ(calls[0].second, canceled);
    EXPECT_EQ(engine_->state(), nvs_engine_t::stopped);
    EXPECT_EQ(seen_.size(), 1u) << "neither the ignored reload nor a second stop signals";
}

TEST_F(NvsEngineTest, DestructionCompletesQueuedChecksOnceWithOperationCanceled)
{
    write_gamble(dir_.file("a.nvs"));
    engine_->reload(dir_.path());
    constexpr int count = 50;
    std::map<int, std::vector<error_code>> calls;
    auto url = std::make_shared<url_t>("http://alpha/");
    for (int i = 0; i < count; ++i)
        engine_->check(url, 0xFFFFFFFF, [&calls, i](const report_t&, const error_code& ec) { calls[i].push_back(ec); });
    const auto signals_before = seen_.size();
    int last_state = -1;
    engine_->signal().connect([&](const nvs_engine_t& e) { last_state = e.state(); });

    engine_.reset();
    EXPECT_EQ(last_state, nvs_engine_t::stopped) << "the destructor signals the stop";
    EXPECT_EQ(seen_.size(), signals_before + 1);
    run_pending(main_);

    ASSERT_EQ(calls.size(), std::size_t(count));
    for (const auto& [i, ecs] : calls) {
        SCOPED_TRACE(i);
        ASSERT_EQ(ecs.size(), 1u);
        EXPECT_EQ(ecs[0], canceled);
    }
    EXPECT_EQ(seen_.size(), signals_before + 1) << "notices arriving after the engine went change nothing";
}

// Many checks in one turn with reloads among them: every callback runs once, on
// the main thread, and finds the engine holding the databases it was checked
// against (what the check engine's "no databases" answer relies on).
TEST_F(NvsEngineTest, ChecksOfOneTurnAroundReloadsCompleteOnceOnTheMainThread)
{
    nv::nvs::test::temp_dir_t empty;
    write_gamble(dir_.file("a.nvs"));
    engine_->reload(dir_.path());
    ASSERT_TRUE(run_until(main_, [&] { return seen_.size() == 2; }));

    constexpr int per_phase = 100;
    struct call_t {
        std::thread::id thread;
        nv::nvs::category_set_t categories;
        error_code error;
        std::size_t databases;
    };
    std::map<int, std::vector<call_t>> calls;
    auto url = std::make_shared<url_t>("http://alpha/");
    auto checks = [&](int first) {
        for (int i = first; i < first + per_phase; ++i)
            engine_->check(url, 0xFFFFFFFF, [&calls, i, this](const report_t& r, const error_code& ec) {
                calls[i].push_back({std::this_thread::get_id(), r.categories, ec, engine_->database_count()});
            });
    };
    checks(0);
    engine_->reload(empty.path());
    checks(per_phase);
    engine_->reload(dir_.path());
    checks(2 * per_phase);
    ASSERT_TRUE(run_until(main_, [&] { return calls.size() == 3 * per_phase; }));
    run_pending(main_);

    for (const auto& [i, list] : calls) {
        SCOPED_TRACE(i);
        ASSERT_EQ(list.size(), 1u);
        const bool empty_phase = i / per_phase == 1;
        EXPECT_EQ(list[0].thread, std::this_thread::get_id());
        EXPECT_FALSE(list[0].error);
        EXPECT_EQ(list[0].categories, empty_phase ? 0u : 1u << 5);
        EXPECT_EQ(list[0].databases, empty_phase ? 0u : 1u);
    }
}

// Destroyed while the worker is (most likely) part-way through a large batch:
// each callback is called once, with its result if it was sent back in time,
// otherwise with the operation-canceled error.
TEST_F(NvsEngineTest, DestructionDuringABatchCompletesEveryCheckOnce)
{
    write_gamble(dir_.file("a.nvs"));
    engine_->reload(dir_.path());
    ASSERT_TRUE(run_until(main_, [&] { return seen_.size() == 2; }));

    constexpr int count = 20000;
    std::map<int, std::vector<std::pair<report_t, error_code>>> calls;
    auto url = std::make_shared<url_t>("http://alpha/");
    for (int i = 0; i < count; ++i)
        engine_->check(url, 0xFFFFFFFF,
                       [&calls, i](const report_t& r, const error_code& ec) { calls[i].emplace_back(r, ec); });
    // Hand the batch over; the worker is now going through it.
    main_.restart();
    main_.poll_one();
    engine_.reset();
    run_pending(main_);

    ASSERT_EQ(calls.size(), std::size_t(count));
    for (const auto& [i, list] : calls) {
        SCOPED_TRACE(i);
        ASSERT_EQ(list.size(), 1u);
        if (list[0].second == canceled)
            continue;
        EXPECT_FALSE(list[0].second);
        EXPECT_EQ(list[0].first.categories, 1u << 5);
    }
}

} // namespace
} // namespace uc
