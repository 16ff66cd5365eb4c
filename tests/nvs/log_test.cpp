#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nvs/log.h"
#include "tests/support/process.h"

namespace nv::nvs {
namespace {

// The instance is process-wide: each case runs in a child to start from the defaults.
TEST(NvsLog, DefaultHandlerPrintsToStandardOutputFromThresholdUp)
{
    const auto result = test::run_function([] {
        auto& log = log_t::instance();
        if (log.threshold() != log_t::debug)
            return 1;
        log.write(log_t::debug, "d");
        log.write(log_t::warning, "w");
        log.write(log_t::error, "e");
        log.set_threshold(log_t::warning);
        log.write(log_t::debug, "hidden");
        nvs::log(log_t::warning, "w2");
        return 0;
    });
    ASSERT_TRUE(result.exited && result.exit_status == 0) << test::describe(result);
    EXPECT_EQ(result.out, "[DEBUG]: d\n[WARNING]: w\n[ERROR]: e\n[WARNING]: w2\n");
    EXPECT_EQ(result.err, "");
}

TEST(NvsLog, ReplacedHandlerGetsLevelAndTextThenDefaultComesBack)
{
    const auto result = test::run_function([] {
        auto& log = log_t::instance();
        std::vector<std::pair<log_t::level_t, std::string>> seen;
        log.set_handler([&](log_t::level_t level, std::string_view text) { seen.emplace_back(level, text); });
        log.set_threshold(log_t::error);
        log.write(log_t::warning, "dropped");
        log.write(log_t::error, "kept");
        if (seen.size() != 1 || seen[0].first != log_t::error || seen[0].second != "kept")
            return 1;
        log.set_handler(nullptr);
        log.write(log_t::error, "nowhere");
        log.set_default_handler();
        log.write(log_t::error, "back");
        return seen.size() == 1 ? 0 : 2;
    });
    ASSERT_TRUE(result.exited) << test::describe(result);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "[ERROR]: back\n");
}

}  // namespace
}  // namespace nv::nvs
