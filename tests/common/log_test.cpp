// The process-wide log cannot go back to buffering once a log is installed, so
// every test that installs a log or relies on buffering runs in a forked child.
#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/exception.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/log.h"
#include "common/log_factory.h"
#include "common/log_sinks.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace nv {
namespace {

using test::describe;
using test::run_function;

// "2022-May-23 16:40:01"
const std::string time_stamp_pattern = R"(\d{4}-(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} \d{2}:\d{2}:\d{2})";

Log log_description(Log::LogType type)
{
    Log description;
    description.set_type(type);
    return description;
}

TEST(Log, BufferedMessagesComeOutInOrderFilteredByLevel)
{
    const auto result = run_function([] {
        log_message(log_debug, "debug before");
        log_message(log_warning, "warning before");
        log_message(log_info, "info before");
        log_message(log_error, "error before");
        log_message(log_notice, "notice before");
        set_level(log_info);
        install_log(make_console_log());
        log_message(log_debug, "debug after");  // the caller's test is skipped on purpose
        if (log_enabled(log_debug))
            return 3;
        log_message(log_notice, "notice after");
        return log_installed() ? 0 : 2;
    });
    ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
    // Installed logs do no filtering of their own: the level test belongs to callers.
    EXPECT_EQ(result.err,
              "Warning: warning before\nInfo: info before\nError: error before\nNotice: notice before\n"
              "Debug: debug after\nNotice: notice after\n");
    EXPECT_EQ(result.out, "");
}

TEST(Log, AtExitFlushWritesWhatIsStillBuffered)
{
    struct row_t {
        const char* name;
        int level;
        bool use_exit;
        const char* expected;
    };
    const row_t rows[] = {
        {"notice", log_notice, true, "Notice: notice\nError: error\n"},
        {"debug", log_debug, true, "Debug: Flushing log...\nInfo: info\nNotice: notice\nError: error\n"},
        {"error", log_error, true, "Error: error\n"},
        // _exit skips the at-exit handlers, as the terminate path does.
        {"_exit", log_debug, false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto result = run_function([&] {
            log_message(log_info, "info");
            log_message(log_notice, "notice");
            log_message(log_error, "error");
            set_level(row.level);
            if (!row.use_exit)
                _exit(0);
            return 0;
        });
        ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
        EXPECT_EQ(result.err, row.expected);
    }
}

TEST(Log, EmptyLogIsNotInstalled)
{
    const auto result = run_function([] {
        set_level(log_notice);
        log_message(log_notice, "kept");
        install_log(nullptr);
        install_log(make_log(log_description(Log::AUTO)));
        return log_installed() ? 1 : 0;
    });
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0) << "an empty pointer counted as installed";
    EXPECT_EQ(result.err, "Notice: kept\n");
}

TEST(Log, StderrLogWithAndWithoutTimeStamp)
{
    for (bool show_timestamp : {false, true}) {
        SCOPED_TRACE(show_timestamp);
        const auto result = run_function([&] {
            auto description = log_description(Log::STDERR);
            description.set_show_timestamp(show_timestamp);
            install_log(make_log(description));
            log_message(log_notice, "text");
            std::printf("%d", static_cast<int>(getpid()));
            return 0;
        });
        ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
        const std::string expected = show_timestamp
                                         ? "^" + time_stamp_pattern + " \\[" + result.out + "\\] Notice: text\n$"
                                         : "^Notice: text\n$";
        EXPECT_TRUE(std::regex_match(result.err, std::regex(expected))) << result.err;
    }
}

TEST(Log, FileLogLineFormatAndAppend)
{
    test::temp_dir_t dir;
    const std::string path = dir / "daemon.log";
    test::write_file(path, "earlier line\n");
    auto description = log_description(Log::FILE);
    description.set_path(path);
    {
        const auto log = make_log(description);
        ASSERT_TRUE(log);
        log->write(log_warning, "first");
        log->write(log_error, "second");
        log->write_tagged("Client", 3, "tagged");
    }
    const std::string pid = std::to_string(getpid());
    const std::regex expected("earlier line\n" + time_stamp_pattern + " \\[" + pid + "\\] Warning: first\n" +
                              time_stamp_pattern + " \\[" + pid + "\\] Error: second\n" + time_stamp_pattern +
                              " \\[Client-3\\] tagged\n");
    const std::string contents = test::read_file(path);
    EXPECT_TRUE(std::regex_match(contents, expected)) << contents;
}

TEST(Log, NewLogFileIsPrivate)
{
    test::temp_dir_t dir;
    auto description = log_description(Log::FILE);
    description.set_path(dir / "new.log");
    const auto old_mask = umask(0);
    const auto log = make_log(description);
    umask(old_mask);
    struct stat status {};
    ASSERT_EQ(stat(description.path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(Log, FileLogThatCannotBeOpened)
{
    test::temp_dir_t dir;
    struct row_t {
        const char* name;
        std::string path;
        int error;
    };
    const row_t rows[] = {
        {"missing directory", dir / "missing/daemon.log", ENOENT},
        {"a directory", dir.path().string(), EISDIR},
        {"no path", "", ENOENT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto description = log_description(Log::FILE);
        if (!row.path.empty())
            description.set_path(row.path);
        try {
            make_log(description);
            ADD_FAILURE() << "a log was made";
        } catch (const boost::filesystem::filesystem_error& e) {
            EXPECT_EQ(e.code().value(), row.error);
            EXPECT_EQ(e.path1().string(), row.path);
            EXPECT_TRUE(std::string(e.what()).starts_with("Cannot create log: ")) << e.what();
        }
    }
}

// Where creating fails for another reason than the file's absence (sysfs
// refuses creation), the error is that of the first attempt, not the ENOENT of
// the second.
TEST(Log, FileLogReportsTheFirstError)
{
    const std::string path = "/sys/norva-log-test";
    const int created = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int first_error = errno;
    if (created >= 0) {
        close(created);
        unlink(path.c_str());
        GTEST_SKIP() << "this system lets " << path << " be created";
    }
    if (first_error == ENOENT)
        GTEST_SKIP() << "both attempts would fail alike here";
    auto description = log_description(Log::FILE);
    description.set_path(path);
    try {
        make_log(description);
        ADD_FAILURE() << "a log was made";
    } catch (const boost::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), first_error) << e.what();
    }
}

TEST(Log, AdditionalPipeGetsCopiesExceptForStderr)
{
    test::temp_dir_t dir;
    struct row_t {
        const char* name;
        Log::LogType type;
        bool show_timestamp;
        const char* variable;
        const char* pipe_text;
    };
    const char* copied = "Debug: Log Factory: Additional log - 7\nNotice: copied\n";
    const row_t rows[] = {
        {"file", Log::FILE, false, "7", copied},
        {"syslog", Log::SYSLOG, false, "+7", copied},
        {"stderr", Log::STDERR, false, "7", ""},
        {"stderr with time stamps", Log::STDERR, true, "7", ""},
        {"malformed variable", Log::FILE, false, "7x", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        test::process_options_t options;
        options.set_env["COM_NORVA_ADD_LOG_PIPE"] = row.variable;
        options.inherit = {{7, fds[1]}};
        auto description = log_description(row.type);
        description.set_path(dir / (std::string(row.name) + ".log"));
        description.set_show_timestamp(row.show_timestamp);
        description.set_ident("norva-log-test");
        const auto result = run_function(
            [&] {
                install_log(make_log(description));
                log_message(log_notice, "copied");
                return 0;
            },
            options);
        close(fds[1]);
        std::string pipe_text;
        char buffer[4096];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
            pipe_text.append(buffer, static_cast<std::size_t>(n));
        close(fds[0]);
        ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
        EXPECT_EQ(pipe_text, row.pipe_text);
        if (row.variable == std::string("7x")) {
            EXPECT_NE(test::read_file(description.path())
                          .find("Error: Log Factory: Wrong environment variable COM_NORVA_ADD_LOG_PIPE\n"),
                      std::string::npos);
        }
        if (row.type == Log::STDERR) {
            EXPECT_NE(result.err.find("Notice: copied\n"), std::string::npos) << result.err;
        }
    }
}

TEST(Log, GivenExtraSinkWinsOverTheVariable)
{
    const auto result = run_function(
        [] {
            std::string seen;
            auto log = make_log(log_description(Log::STDERR), [&](std::string_view text) { seen += text; });
            install_log(log);
            log_message(log_warning, "mine");
            // A sink passed in is kept even for a STDERR log.
            return seen == "Warning: mine" ? 0 : 1;
        },
        [] {
            test::process_options_t options;
            options.set_env["COM_NORVA_ADD_LOG_PIPE"] = "2";
            return options;
        }());
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0) << describe(result);
    EXPECT_EQ(result.err, "Warning: mine\n");
}

TEST(Log, OutOfMemoryReport)
{
    struct row_t {
        const char* name;
        std::function<std::shared_ptr<cf_log_t>()> make;
    };
    const row_t rows[] = {
        {"buffering", [] { return std::shared_ptr<cf_log_t>(); }},
        {"console", [] { return make_console_log(); }},
        {"file", [] { return std::make_shared<cf_file_log_t>(open("/dev/null", O_WRONLY), true); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto result = run_function([&] {
            install_log(row.make());
            report_out_of_memory();
            _exit(0);
            return 0;
        });
        ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
        EXPECT_EQ(result.err, "Error: Not enough memory\n");
    }
}

TEST(Log, ConcurrentWritersAndReinstallationKeepLinesWhole)
{
    test::temp_dir_t dir;
    const std::string path = dir / "threads.log";
    constexpr int threads = 4;
    constexpr int lines = 2000;
    const auto result = run_function([&] {
        auto description = log_description(Log::FILE);
        description.set_path(path);
        install_log(make_log(description));
        std::atomic<bool> stop = false;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < lines; ++i)
                    log_message(log_notice, "thread " + std::to_string(t) + " line " + std::to_string(i));
            });
        }
        std::thread installer([&] {
            while (!stop)
                install_log(make_log(description));
        });
        for (auto& writer : writers)
            writer.join();
        stop = true;
        installer.join();
        return 0;
    });
    ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
    const std::string contents = test::read_file(path);
    const std::regex line_pattern(time_stamp_pattern + R"( \[\d+\] Notice: thread (\d) line (\d+))");
    std::vector<int> next(threads, 0);
    std::size_t start = 0;
    int count = 0;
    while (start < contents.size()) {
        const auto end = contents.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = contents.substr(start, end - start);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, line_pattern)) << line;
        const int thread = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[thread]++) << "lost or reordered within a thread";
        ++count;
        start = end + 1;
    }
    EXPECT_EQ(count, threads * lines);
}

TEST(Log, WriteAllWritesMoreThanAPipeHolds)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string data(1 << 20, 'x');
    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<std::size_t>(n));
    });
    write_all(fds[1], data);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(received.size(), data.size());
    // A bad descriptor ends the attempt silently.
    write_all(-1, "ignored");
}

TEST(LogTables, LevelsFacilitiesPriorities)
{
    const char* names[] = {"Debug", "Info", "Notice", "Warning", "Error"};
    const int priorities[] = {LOG_DEBUG, LOG_INFO, LOG_NOTICE, LOG_WARNING, LOG_ERR};
    for (int level = 0; level < 5; ++level) {
        SCOPED_TRACE(level);
        EXPECT_STREQ(level_name(level), names[level]);
        EXPECT_EQ(syslog_priority(level), priorities[level]);
        EXPECT_EQ(log_level_of(level + 1), level);
    }
    for (int level : {-1, 5, 100}) {
        SCOPED_TRACE(level);
        EXPECT_STREQ(level_name(level), "Unknown");
        EXPECT_EQ(syslog_priority(level), LOG_ERR);
    }
    for (int configured : {0, 6, -1})
        EXPECT_EQ(log_level_of(configured), log_error) << configured;

    struct row_t {
        int facility;
        int code;
    };
    const row_t facilities[] = {
        {1, 24}, {2, 8}, {3, 16}, {4, 24}, {9, 24}, {10, 128}, {11, 136}, {12, 144}, {13, 152},
        {14, 160}, {15, 168}, {16, 176}, {17, 184}, {0, 24}, {18, 24}, {-5, 24},
    };
    for (const auto& row : facilities)
        EXPECT_EQ(syslog_facility_of(row.facility), row.code) << row.facility;
}

}  // namespace
}  // namespace nv
