// Database files replaced by rename, deleted and added while clients keep many
// checks in flight and reloads follow one another (new configurations from
// ConfigD, SIGHUP, another directory and back): every request is answered
// once, a URL of a database that stays (or is only ever replaced by rename)
// is always reported, the last reload shows exactly the files left, and the
// daemon stays up.
#include <signal.h>

#include <cstdio>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "tests/support/check_load.h"
#include "tests/support/configd_responder.h"
#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

const char* const keep_source = "name gamble\ndate 2026-01-15 12:00:00\nurl keep.example\n";
// Two versions of one database: both list swap.example.
const char* const swap_a_source = "name porno\ndate 2026-01-15 12:00:00\nurl swap.example\nurl swap-a.example\n";
const char* const swap_b_source = "name porno\ndate 2026-02-15 12:00:00\nurl swap.example\nurl swap-b.example\n";
// Copies of this one come and go under several names.
const char* const churn_source = "name chats\ndate 2026-01-15 12:00:00\nurl churn.example\n";

constexpr int churn_names = 4;
constexpr auto churn_period = 2500ms;

// Puts the contents at the path the way a database must be replaced: written
// beside it under a name the daemon does not load, then renamed over it.
void replace_by_rename(const std::string& path, const std::string& contents)
{
    const std::string temporary = path + ".tmp";
    write_file(temporary, contents);
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("rename over " + path + " failed");
}

// Reads the daemon's log until nothing more comes for a moment.
void drain_log(running_daemon_t& daemon)
{
    for (std::size_t size = std::string::npos; size != daemon.process().err().size();) {
        size = daemon.process().err().size();
        daemon.process().pump(300ms);
    }
}

std::string built(running_daemon_t& daemon, const std::string& name, const char* source)
{
    const std::string path = daemon.dir() / name;
    build_database(source, path);
    return read_file(path);
}

TEST(FaultDatabases, FilesReplacedDeletedAndAddedDuringChecksAndReloads)
{
    running_daemon_t daemon(running_daemon_t::databases_t{{"keep.nvs", keep_source}, {"swap.nvs", swap_a_source}});
    // Info: a Debug line per check would outrun the test's reading of the log.
    daemon.config.set_log_level(LOG_LEVEL_INFO);
    ASSERT_TRUE(daemon.start());
    const std::string nvs_dir = daemon.config.nvs_dir();
    const std::string swap_a = built(daemon, "swap-a.image", swap_a_source);
    const std::string swap_b = built(daemon, "swap-b.image", swap_b_source);
    const std::string churn = built(daemon, "churn.image", churn_source);

    // A second directory with the databases that stay: switching to it and
    // back drops and loads everything, still within one reload each time.
    const std::string other_dir = daemon.dir() / "nvs-other";
    boost::filesystem::create_directory(other_dir);
    write_file(other_dir + "/keep.nvs", read_file(nvs_dir + "/keep.nvs"));
    write_file(other_dir + "/swap.nvs", swap_a);

    configd_responder_t configd(daemon.configd(), daemon.config);
    check_load_t load({.socket_path = daemon.socket_path(),
                       .urls = {
                           {"http://keep.example/page", {{UC_GAMBLING}}},
                           {"http://www.swap.example/x", {{UC_ADULT_CONTENT}}},
                           {"http://swap-a.example/", {{}, {UC_ADULT_CONTENT}}},
                           {"http://swap-b.example/", {{}, {UC_ADULT_CONTENT}}},
                           {"http://churn.example/", {{}, {UC_CHATS}}},
                           {"http://none.example/", {{}}},
                       },
                       .clients = 4,
                       .depth = 32,
                       .pause = 5ms});
    ASSERT_TRUE(load.wait_for_rounds(1));

    int replaced = 0, added = 0, deleted = 0, hangups = 0, configurations = 0, switches = 0;
    bool churn_present[churn_names] = {};
    const auto until = std::chrono::steady_clock::now() + churn_period;
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
        replace_by_rename(nvs_dir + "/swap.nvs", i % 2 ? swap_a : swap_b);
        ++replaced;
        const int k = i % churn_names;
        const std::string churn_path = nvs_dir + "/churn-" + std::to_string(k) + ".nvs";
        if (churn_present[k]) {
            boost::filesystem::remove(churn_path);
            ++deleted;
        } else {
            replace_by_rename(churn_path, churn);
            ++added;
        }
        churn_present[k] = !churn_present[k];
        if (i % 5 == 4) {
            UrlCheckConfig config = daemon.config;
            config.set_nvs_dir(++switches % 2 ? other_dir : nvs_dir);
            configd.set_config(config);
        }
        if (i % 2) {
            daemon.process().send_signal(SIGHUP);
            ++hangups;
        } else {
            configd.send_config();
            ++configurations;
        }
        // Reads the log as it comes, so that the daemon never waits on it.
        daemon.process().pump(20ms);
    }

    // The end state: no copy of the churning database, swap.nvs in version A.
    for (int k = 0; k < churn_names; ++k)
        boost::filesystem::remove(nvs_dir + "/churn-" + std::to_string(k) + ".nvs");
    replace_by_rename(nvs_dir + "/swap.nvs", swap_a);
    configd.set_config(daemon.config);
    configd.send_config();
    // Twice: a request of a late signal may come after the first wait.
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(configd.wait_settled()) << configd.failure() << "; configurations sent " << configd.configs_sent()
                                            << ", notifications " << configd.infos().size();
        std::this_thread::sleep_for(300ms);
    }
    load.stop();
    configd.stop();

    const check_load_t::summary_t summary = load.summary();
    for (const std::string& fault : summary.faults)
        ADD_FAILURE() << fault;
    EXPECT_EQ(summary.fault_count, 0u);
    EXPECT_EQ(summary.answered, summary.sent);
    EXPECT_GE(summary.rounds, 8u);
    // Every signal asked for the configuration once, and every configuration
    // sent was applied and reloaded (wait_settled).
    drain_log(daemon);
    EXPECT_EQ(configd.count(UrlCheck2ConfigdMessage::GET_CONFIG_REQUEST), daemon.log_count("SIGHUP received"));
    EXPECT_GE(configd.count(UrlCheck2ConfigdMessage::GET_CONFIG_REQUEST), 1);
    EXPECT_LE(configd.count(UrlCheck2ConfigdMessage::GET_CONFIG_REQUEST), hangups);
    for (const auto& info : configd.infos())
        EXPECT_EQ(info.nvs_state, EC_OK) << "revision " << info.revision;
    std::printf("replaced %d, added %d, deleted %d, %d directory switches; %d SIGHUP, %d configurations unasked; "
                "%llu checks answered in %llu rounds\n",
                replaced, added, deleted, switches, hangups, configurations, static_cast<unsigned long long>(summary.answered),
                static_cast<unsigned long long>(summary.rounds));

    // The last reload shows exactly what is left; a fresh client is answered.
    const unique_fd_t client = daemon.connect();
    const struct {
        const char* url;
        std::vector<int> categories;
    } rows[] = {
        {"http://keep.example/", {UC_GAMBLING}},
        {"http://swap.example/", {UC_ADULT_CONTENT}},
        {"http://swap-a.example/", {UC_ADULT_CONTENT}},
        {"http://swap-b.example/", {}},
        {"http://churn.example/", {}},
    };
    std::uint32_t serial = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        const auto result = ask(client.get(), ++serial, row.url);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->error(), EC_OK);
        EXPECT_EQ(std::vector<int>(result->categories().begin(), result->categories().end()), row.categories);
    }

    ASSERT_TRUE(daemon.process().running());
    daemon.process().send_signal(SIGTERM);
    const process_result_t result = daemon.configd().wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 107) << result.err.substr(result.err.size() > 4000 ? result.err.size() - 4000 : 0);
}

}  // namespace
}  // namespace nv::test
