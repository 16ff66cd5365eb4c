#include "nvs/async/engine.h"

#include "nvs/file.h"
#include "nvs/url/url.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_engine_support.h"
#include "tests/support/nvs_fixture.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <tuple>

namespace nv::nvs::async {
namespace {

using boost::system::error_code;
using test::database_spec_t;
using test::log_capture_t;
using test::run_pending;
using test::run_until;
using test::temp_dir_t;

constexpr category_set_t gamble = 1u << 5, porno = 1u << 2, drugs = 1u << 6, chats = 1u << 8;
constexpr category_set_t weapon = 1u << 4, malware = 1u << 0;

// A database of one category whose only records are text patterns.
void write_patterns(const std::string& path, const std::string& name, std::vector<std::string> patterns)
{
    database_spec_t spec;
    spec.name = name;
    spec.patterns = std::move(patterns);
    test::write_database(path, spec);
}

// A piracy database holding the host with a notice naming the legal URL.
void write_piracy(const std::string& path, const std::string& host, const std::string& legal_url)
{
    database_spec_t spec;
    spec.name = "piracy";
    auto record = test::host_record(index::label_count(host), 0, host);
    record.notice = R"({"legalURL":")" + legal_url + R"("})";
    spec.urls.push_back(record);
    test::write_database(path, spec);
}

class EngineTest : public ::testing::Test {
protected:
    EngineTest()
    {
        connection_ = engine_.signal().connect([this](const engine_t& e) {
            notices_.push_back({e.estate().state, e.estate().shown_dir, e.estate().shown_files.size()});
        });
    }

    // Reloads and waits for the end notice.
    void reload(const std::string& dir)
    {
        const auto ends = end_count();
        engine_.reload(dir);
        ASSERT_TRUE(run_until(main_, [&] { return end_count() > ends; }));
    }

    report_t check(const std::string& url, category_set_t mask = 0xFFFFFFFF)
    {
        std::optional<report_t> result;
        error_code error;
        engine_.check(std::make_shared<url_t>(url), mask, [&](const report_t& r, const error_code& ec) {
            result = r;
            error = ec;
        });
        EXPECT_TRUE(run_until(main_, [&] { return result.has_value(); }));
        EXPECT_FALSE(error);
        return result.value_or(report_t{});
    }

    std::set<std::string> shown_paths() const
    {
        std::set<std::string> out;
        for (const auto& f : engine_.estate().shown_files)
            out.insert(f->path());
        return out;
    }

    std::size_t end_count() const
    {
        std::size_t n = 0;
        for (const auto& notice : notices_)
            n += notice.state == engine_t::loaded;
        return n;
    }

    struct notice_t {
        int state;
        std::string dir;
        std::size_t files;
    };

    boost::asio::io_context main_;
    log_capture_t log_;
    temp_dir_t dir_;
    thread_t thread_{main_};
    engine_t engine_{thread_};
    std::vector<notice_t> notices_;
    boost::signals2::scoped_connection connection_;
};

TEST_F(EngineTest, BeforeTheFirstReloadAcheckFindsNothingAndTheStateIsLoading)
{
    EXPECT_EQ(engine_.estate().state, engine_t::loading);
    EXPECT_EQ(check("http://alpha.example/").categories, 0u);
    EXPECT_TRUE(notices_.empty());
}

TEST_F(EngineTest, LoadsDatabaseFileNamesOnlyAndDoesNotEnterSubdirectories)
{
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    write_patterns(dir_.file("b.NVS"), "porno", {"alpha"});
    write_patterns(dir_.file(".nvs"), "drugs", {"alpha"});
    write_patterns(dir_.file("c.txt"), "chats", {"alpha"});
    write_patterns(dir_.file("e.nvs.bak"), "chats", {"alpha"});
    std::filesystem::create_directory(dir_.file("sub"));
    write_patterns(dir_.file("sub") + "/d.nvs", "weapon", {"alpha"});

    reload(dir_.path());

    EXPECT_EQ(shown_paths(), (std::set<std::string>{dir_.file("a.nvs"), dir_.file("b.NVS"), dir_.file(".nvs")}));
    EXPECT_EQ(check("http://alpha.example/").categories, gamble | porno | drugs);
    const auto loaded = log_.texts("NVS database loaded: ");
    std::set<std::string> loaded_set(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded_set, (std::set<std::string>{
                              "NVS database loaded: \"" + dir_.file("a.nvs") + "\" (gamble, 1)",
                              "NVS database loaded: \"" + dir_.file("b.NVS") + "\" (porno, 1)",
                              "NVS database loaded: \"" + dir_.file(".nvs") + "\" (drugs, 1)",
                          }));
    const auto lines = log_.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().text, "NVS databases load/reload: \"" + dir_.path() + "\"");
    EXPECT_EQ(lines.back().text, "NVS databases load/reload end");
    for (const auto& line : lines)
        EXPECT_EQ(line.level, log_t::debug) << line.text;
}

TEST_F(EngineTest, ReloadSignalsItsStartAndItsEnd)
{
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    reload(dir_.path());
    ASSERT_EQ(notices_.size(), 2u);
    EXPECT_EQ(notices_[0].state, engine_t::loading);
    EXPECT_EQ(notices_[0].dir, dir_.path());
    EXPECT_EQ(notices_[0].files, 0u);
    EXPECT_EQ(notices_[1].state, engine_t::loaded);
    EXPECT_EQ(notices_[1].dir, dir_.path());
    EXPECT_EQ(notices_[1].files, 1u);
}

TEST_F(EngineTest, SecondReloadOfAnUnchangedDirectoryOpensNothing)
{
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    write_patterns(dir_.file("b.nvs"), "porno", {"bravo"});
    reload(dir_.path());
    const auto first = engine_.estate().shown_files;
    ASSERT_EQ(first.size(), 2u);
    log_.take();

    reload(dir_.path());

    EXPECT_TRUE(log_.texts("NVS database loaded: ").empty());
    EXPECT_TRUE(log_.texts("NVS database unloaded: ").empty());
    EXPECT_TRUE(engine_.estate().shown_files == first) << "the very same database objects stay";
}

TEST_F(EngineTest, ReplacedFileIsReloadedInTheSameReloadAndDeletedFileIsUnloaded)
{
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    write_patterns(dir_.file("b.nvs"), "porno", {"bravo"});
    reload(dir_.path());
    ASSERT_EQ(check("http://alpha.bravo/").categories, gamble | porno);
    log_.take();

    write_patterns(dir_.file("new.tmp"), "drugs", {"alpha"});
    ASSERT_EQ(std::rename(dir_.file("new.tmp").c_str(), dir_.file("a.nvs").c_str()), 0);
    ASSERT_EQ(std::remove(dir_.file("b.nvs").c_str()), 0);
    reload(dir_.path());

    const auto unloaded = log_.texts("NVS database unloaded: ");
    EXPECT_EQ(std::set<std::string>(unloaded.begin(), unloaded.end()),
              (std::set<std::string>{"NVS database unloaded: \"" + dir_.file("a.nvs") + "\"",
                                     "NVS database unloaded: \"" + dir_.file("b.nvs") + "\""}));
    EXPECT_EQ(log_.texts("NVS database loaded: "),
              std::vector<std::string>{"NVS database loaded: \"" + dir_.file("a.nvs") + "\" (drugs, 1)"});
    EXPECT_EQ(shown_paths(), std::set<std::string>{dir_.file("a.nvs")});
    EXPECT_EQ(check("http://alpha.bravo/").categories, drugs);
}

TEST_F(EngineTest, AnotherDirectoryDropsTheOldDatabasesWithoutALogLine)
{
    temp_dir_t other;
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    write_patterns(other.file("b.nvs"), "porno", {"alpha"});
    reload(dir_.path());
    log_.take();

    reload(other.path());
    EXPECT_EQ(shown_paths(), std::set<std::string>{other.file("b.nvs")});
    EXPECT_EQ(check("http://alpha/").categories, porno);
    EXPECT_TRUE(log_.texts("NVS database unloaded: ").empty());

    // Back again: the first directory's file is opened afresh.
    reload(dir_.path());
    EXPECT_EQ(log_.texts("NVS database loaded: ").size(), 2u);
    EXPECT_EQ(check("http://alpha/").categories, gamble);
}

TEST_F(EngineTest, EmptyDirectoryPathLoadsNothingAndLogsNothing)
{
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    reload(dir_.path());
    log_.take();
    reload("");
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(engine_.estate().state, engine_t::loaded);
    EXPECT_TRUE(engine_.estate().shown_files.empty());
    EXPECT_EQ(check("http://alpha/").categories, 0u);
}

TEST_F(EngineTest, MissingDirectoryIsLoggedAndTheEngineKeepsServing)
{
    const std::string missing = dir_.file("missing");
    reload(missing);
    const auto lines = log_.lines();
    bool found = false;
    for (const auto& line : lines)
        if (line.text == "NVS Loading \"" + missing + "\": No such file or directory") {
            found = true;
            EXPECT_EQ(line.level, log_t::error);
        }
    EXPECT_TRUE(found);
    EXPECT_EQ(lines.back().text, "NVS databases load/reload end");
    EXPECT_EQ(engine_.estate().state, engine_t::loaded);
    EXPECT_EQ(check("http://alpha/").categories, 0u);

    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    reload(dir_.path());
    EXPECT_EQ(check("http://alpha/").categories, gamble);
}

TEST_F(EngineTest, FilesThatCannotBeLoadedAreLoggedAndTheOthersLoad)
{
    write_patterns(dir_.file("good.nvs"), "gamble", {"alpha"});
    test::write_text(dir_.file("garbage.nvs"), "this is not a database at all, but long enough to be read");
    auto tampered = test::build_image([] {
        database_spec_t spec;
        spec.patterns = {"alpha"};
        return spec;
    }());
    tampered[tampered.size() - 45] ^= 1;
    test::write_file(dir_.file("tampered.nvs"), tampered);
    test::write_text(dir_.file("empty.nvs"), "");
    ASSERT_EQ(::mkfifo(dir_.file("fifo.nvs").c_str(), 0600), 0);
    std::filesystem::create_directory(dir_.file("dir.nvs"));

    reload(dir_.path());

    EXPECT_EQ(shown_paths(), std::set<std::string>{dir_.file("good.nvs")});
    std::map<std::string, std::string> errors;
    for (const auto& line : log_.lines())
        if (line.level == log_t::error)
            errors[line.text.substr(0, line.text.find("\": ") + 1)] = line.text.substr(line.text.find("\": ") + 3);
    const std::string prefix = "Cannot load NVS database \"";
    EXPECT_EQ(errors, (std::map<std::string, std::string>{
                          {prefix + dir_.file("garbage.nvs") + "\"", "Bad file format"},
                          {prefix + dir_.file("tampered.nvs") + "\"", "Bad file signature"},
                          {prefix + dir_.file("empty.nvs") + "\"", "Invalid argument"},
                          {prefix + dir_.file("fifo.nvs") + "\"", "No such device"},
                          {prefix + dir_.file("dir.nvs") + "\"", "No such device"},
                      }));
    EXPECT_EQ(check("http://alpha/").categories, gamble);
}

TEST_F(EngineTest, PathsInLogLinesAreQuoted)
{
    const std::string odd = dir_.file("q\"&d");
    std::filesystem::create_directory(odd);
    write_patterns(odd + "/a.nvs", "gamble", {"alpha"});
    reload(odd);
    const std::string quoted_dir = "\"" + dir_.path() + "/q&\"&&d\"";
    EXPECT_EQ(log_.lines().front().text, "NVS databases load/reload: " + quoted_dir);
    EXPECT_EQ(log_.texts("NVS database loaded: "),
              std::vector<std::string>{"NVS database loaded: " + quoted_dir.substr(0, quoted_dir.size() - 1)
                                       + "/a.nvs\" (gamble, 1)"});
}

TEST_F(EngineTest, NoLinesBelowTheLogThreshold)
{
    log_t::instance().set_threshold(log_t::error);
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    test::write_text(dir_.file("bad.nvs"), "");
    reload(dir_.path());
    const auto lines = log_.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log_t::error);
}

TEST_F(EngineTest, ChecksPostedAroundAReloadSeeTheOldAndTheNewSetInOrder)
{
    temp_dir_t other;
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    write_patterns(other.file("a.nvs"), "porno", {"alpha"});
    reload(dir_.path());

    std::vector<std::pair<int, category_set_t>> results;
    auto url = std::make_shared<url_t>("http://alpha/");
    engine_.check(url, 0xFFFFFFFF, [&](const report_t& r, const error_code&) { results.push_back({1, r.categories}); });
    engine_.reload(other.path());
    engine_.check(url, 0xFFFFFFFF, [&](const report_t& r, const error_code&) { results.push_back({2, r.categories}); });
    ASSERT_TRUE(run_until(main_, [&] { return results.size() == 2; }));

    EXPECT_EQ(results, (std::vector<std::pair<int, category_set_t>>{{1, gamble}, {2, porno}}));
}

// Checks and reloads posted in one turn travel to the worker together; each
// check still sees the databases of the reloads posted before it, and its
// callback runs with the engine's published state matching what it saw, between
// the notices of the reloads around it.
TEST_F(EngineTest, ChecksAndReloadsOfOneTurnKeepTheirOrder)
{
    temp_dir_t other, empty;
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    write_patterns(other.file("a.nvs"), "porno", {"alpha"});
    reload(dir_.path());
    notices_.clear();

    struct seen_t {
        int check;
        category_set_t categories;
        std::string shown_dir;
        std::size_t shown_files;
        std::size_t notices_before;
    };
    std::vector<seen_t> seen;
    auto url = std::make_shared<url_t>("http://alpha/");
    int posted = 0;
    auto check_now = [&] {
        const int n = ++posted;
        engine_.check(url, 0xFFFFFFFF, [&, n](const report_t& r, const error_code& ec) {
            EXPECT_FALSE(ec);
            seen.push_back({n, r.categories, engine_.estate().shown_dir, engine_.estate().shown_files.size(),
                            notices_.size()});
        });
    };
    check_now();
    check_now();
    engine_.reload(other.path());
    check_now();
    engine_.reload(empty.path());
    check_now();
    check_now();
    engine_.reload(dir_.path());
    check_now();
    ASSERT_TRUE(run_until(main_, [&] { return seen.size() == 6; }));

    const std::vector<std::tuple<int, category_set_t, std::string, std::size_t, std::size_t>> expected = {
        {1, gamble, dir_.path(), 1, 0}, {2, gamble, dir_.path(), 1, 0}, {3, porno, other.path(), 1, 2},
        {4, 0, empty.path(), 0, 4},     {5, 0, empty.path(), 0, 4},     {6, gamble, dir_.path(), 1, 6},
    };
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE("completion " + std::to_string(i));
        EXPECT_EQ(std::make_tuple(seen[i].check, seen[i].categories, seen[i].shown_dir, seen[i].shown_files,
                                  seen[i].notices_before),
                  expected[i]);
    }
}

TEST_F(EngineTest, CategoryWalk)
{
    write_patterns(dir_.file("gamble.nvs"), "gamble", {"alpha", "bravo"});
    write_patterns(dir_.file("gamble-white.nvs"), "whitelist_gamble", {"bravo"});
    write_patterns(dir_.file("porno.nvs"), "porno", {"bravo", "charlie"});
    write_patterns(dir_.file("malware-white.nvs"), "whitelist_malware", {"charlie"});
    write_patterns(dir_.file("black.nvs"), "black_list", {"delta"});
    write_patterns(dir_.file("weapon.nvs"), "weapon", {"delta"});
    write_patterns(dir_.file("odd.nvs"), "no_such_category", {"echo"});
    reload(dir_.path());

    struct row_t {
        const char* url;
        category_set_t mask;
        category_set_t expected;
    };
    const row_t rows[] = {
        {"http://alpha/", 0xFFFFFFFF, gamble},
        {"http://alpha/", 0, 0},
        {"http://alpha/", porno, 0},
        {"http://bravo/", 0xFFFFFFFF, porno},       // whitelisted for gamble only
        {"http://charlie/", 0xFFFFFFFF, porno},     // a malware whitelist says nothing of porno
        {"http://delta/", category_black_list, category_black_list},
        {"http://delta/", 0xFFFFFFFF, category_black_list | weapon},
        {"http://echo/", 0xFFFFFFFF, category_unspecified},
        {"http://echo/", ~category_unspecified, 0},
        {"http://foxtrot/", 0xFFFFFFFF, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.url) + " mask " + std::to_string(row.mask));
        EXPECT_EQ(check(row.url, row.mask), (report_t{row.expected, ""}));
    }
}

TEST_F(EngineTest, PiracyLegalUrlSurvivesALaterCategoryMatch)
{
    write_piracy(dir_.file("piracy.nvs"), "movies.example", "https://legal.example/film");
    write_patterns(dir_.file("black.nvs"), "black_list", {"movies"});
    write_patterns(dir_.file("black-white.nvs"), "whitelist_black_list", {"free"});
    reload(dir_.path());

    EXPECT_EQ(check("http://movies.example/x"),
              (report_t{category_piracy | category_black_list, "https://legal.example/film"}));
    EXPECT_EQ(check("http://movies.example/free"), (report_t{category_piracy, "https://legal.example/film"}));
    EXPECT_EQ(check("http://movies.example/x", category_black_list), (report_t{category_black_list, ""}));
}

TEST_F(EngineTest, DatabasesOfACategoryAreTriedInPathOrder)
{
    // Both match; the one whose path sorts first decides, whatever the order of
    // creation or the placement of the objects in memory.
    write_piracy(dir_.file("b.nvs"), "movies.example", "https://b.example/");
    write_piracy(dir_.file("a.nvs"), "movies.example", "https://a.example/");
    write_piracy(dir_.file("c.nvs"), "movies.example", "https://c.example/");
    reload(dir_.path());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(check("http://movies.example/").legal_url, "https://a.example/");
}

TEST_F(EngineTest, StoppingWithChecksQueuedCompletesEachOnceWithOperationCanceled)
{
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    engine_.reload(dir_.path());
    constexpr int count = 100;
    std::map<int, std::vector<std::pair<report_t, error_code>>> calls;
    auto url = std::make_shared<url_t>("http://alpha/");
    for (int i = 0; i < count; ++i)
        engine_.check(url, 0xFFFFFFFF,
                      [&calls, i](const report_t& r, const error_code& ec) { calls[i].push_back({r, ec}); });
    thread_.stop();
    run_pending(main_);
    ASSERT_EQ(calls.size(), std::size_t(count));
    for (const auto& [i, c] : calls) {
        SCOPED_TRACE(i);
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(c[0].second, thread_t::canceled());
    }
    // And after the stop, a check completes the same way.
    std::vector<error_code> late;
    engine_.check(url, 0xFFFFFFFF, [&](const report_t&, const error_code& ec) { late.push_back(ec); });
    run_pending(main_);
    EXPECT_EQ(late, std::vector<error_code>{thread_t::canceled()});
}

// A check cancelled while its task is still to run on the worker is answered
// with an empty report: the task may be writing its report at that very
// moment, so nothing of it is read.
TEST_F(EngineTest, CancelledCheckIsAnsweredWithAnEmptyReport)
{
    write_patterns(dir_.file("a.nvs"), "gamble", {"alpha"});
    reload(dir_.path());
    ASSERT_EQ(check("http://alpha/").categories, gamble);

    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    thread_.post([gate] {
        gate.wait();
        return error_code();
    }, {});
    std::vector<std::pair<report_t, error_code>> calls;
    auto handle = engine_.check(std::make_shared<url_t>("http://alpha/"), 0xFFFFFFFF,
                                [&](const report_t& r, const error_code& ec) { calls.push_back({r, ec}); });
    run_pending(main_); // hands both tasks to the held worker
    handle->cancel();
    // The check's task runs, and finds the URL, before the cancellation is
    // delivered.
    open.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(run_until(main_, [&] { return !calls.empty(); }));
    run_pending(main_);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, thread_t::canceled());
    EXPECT_EQ(calls[0].first, report_t{});
}

TEST(EngineLifetimeTest, DestroyedEngineLeavesQueuedReloadsHarmless)
{
    boost::asio::io_context main;
    log_capture_t log;
    temp_dir_t dir;
    write_patterns(dir.file("a.nvs"), "gamble", {"alpha"});
    thread_t thread(main);
    int signals = 0;
    {
        engine_t engine(thread);
        engine.signal().connect([&](const engine_t&) { ++signals; });
        for (int i = 0; i < 5; ++i)
            engine.reload(dir.path());
    }
    // The reload tasks may run or find the state gone; their notices change nothing.
    std::optional<error_code> done;
    thread.post({}, [&](const error_code& ec) { done = ec; });
    ASSERT_TRUE(run_until(main, [&] { return done.has_value(); }));
    run_pending(main);
    EXPECT_EQ(signals, 0);
}

} // namespace
} // namespace nv::nvs::async
