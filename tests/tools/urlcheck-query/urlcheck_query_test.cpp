// urlcheck-query run as a process against the real daemon: verdict lines and
// JSON lines in input order, URLs from standard input, exit statuses.
#include <gtest/gtest.h>

#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

const char* const gamble_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";
const char* const piracy_source =
    "name piracy\ndate 2026-01-15 12:00:00\nurl films.example\nnotice https://store.example/films\n";
const char* const black_list_source = "name black_list\ndate 2026-01-15 12:00:00\nurl casino.example\n";

process_result_t run_query(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt)
{
    process_options_t options;
    options.program = bin_path("urlcheck-query");
    options.argv = {options.program};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.stdin_data = std::move(input);
    return run_process(options);
}

class UrlcheckQuery : public ::testing::Test {
protected:
    UrlcheckQuery()
        : daemon(running_daemon_t::databases_t{
              {"gamble.nvs", gamble_source}, {"piracy.nvs", piracy_source}, {"black_list.nvs", black_list_source}})
    {
    }
    void SetUp() override { ASSERT_TRUE(daemon.start()); }

    running_daemon_t daemon;
};

TEST_F(UrlcheckQuery, PrintsOneVerdictPerUrlInInputOrder)
{
    const process_result_t result = run_query(
        {"--socket", daemon.socket_path(), "http://casino.example/", "http://films.example/x", "http://other.example/"});
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out,
              "http://casino.example/ - Gambling, Black list\n"
              "http://films.example/x - Copyright owner's notice; legal URL: https://store.example/films\n"
              "http://other.example/ - None\n");
}

TEST_F(UrlcheckQuery, JsonLinesFromStandardInputWithCategoriesAsked)
{
    const process_result_t result =
        run_query({"--socket", daemon.socket_path(), "--json", "--category", "black_list", "--category", "13"},
                  "http://casino.example/\n\n  http://films.example/x  \nhttp://q.example/\"x\n");
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out,
              "{\"url\":\"http://casino.example/\",\"error\":0,\"categories\":[20]}\n"
              "{\"url\":\"http://films.example/x\",\"error\":0,\"categories\":[13],"
              "\"legal_url\":\"https://store.example/films\"}\n"
              "{\"url\":\"http://q.example/\\\"x\",\"error\":0,\"categories\":[]}\n");
}

TEST_F(UrlcheckQuery, AnswersWithAnErrorCodeStillExitZero)
{
    running_daemon_t empty;
    ASSERT_TRUE(empty.start());
    process_result_t result = run_query({"--socket", empty.socket_path(), "http://casino.example/"});
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "http://casino.example/ - Error: No web resource databases\n");
    result = run_query({"--socket", empty.socket_path(), "--json", "http://casino.example/"});
    EXPECT_EQ(result.out, "{\"url\":\"http://casino.example/\",\"error\":112,\"categories\":[]}\n");
}

TEST_F(UrlcheckQuery, FailuresExitNonZeroWithAMessage)
{
    struct row_t {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const std::vector<row_t> rows{
        {"no daemon", {"--socket", daemon.dir() / "nothing.sock", "http://a.example/"}, 1, "cannot connect to the daemon"},
        {"unknown category", {"--socket", daemon.socket_path(), "--category", "nonsense", "http://a.example/"}, 1,
         "unknown category \"nonsense\""},
        {"unknown option", {"--nonsense"}, 2, "see --help"},
        // An invalid address makes the daemon close the connection.
        {"connection closed", {"--socket", daemon.socket_path(), "--address", "not-an-address", "http://a.example/"}, 1,
         "closed the connection"},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        const process_result_t result = run_query(row.args);
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, row.status);
        EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(UrlcheckQuery, BenchReportsThroughputLatencyAndErrors)
{
    const process_result_t result =
        run_query({"--socket", daemon.socket_path(), "--bench", "--connections", "2", "--depth", "4", "--count", "400",
                   "http://casino.example/", "http://other.example/"});
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.out.find("checks: 400 in "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("errors: 0\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("latency: p50 "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(", p99.9 "), std::string::npos) << result.out;
}

}  // namespace
}  // namespace nv::test
