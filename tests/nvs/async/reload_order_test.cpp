// A load checks files on two threads; what it reports must not show it: each
// file's outcome and log line come in listing order, a bad file spoils only
// itself wherever it stands, and the loaded databases are the good ones.
#include "nvs/async/helper_thread.h"
#include "nvs/async/open_checks.h"
#include "nvs/async/reload.h"
#include "nvs/file.h"
#include "nvs/index/content.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_engine_support.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nv::nvs::async {
namespace {

using test::bytes_t;

// A database of `records` host keys of one run (sizes vary, so that the two
// threads finish their files at varying moments).
bytes_t host_database(const std::string& name, std::size_t records)
{
    bytes_t section;
    for (std::size_t i = 0; i < records; ++i) {
        section.insert(section.end(), {2, 0, 0});
        for (int b = 15; b >= 0; --b)
            section.push_back(b < 8 ? std::uint8_t(i >> (8 * b)) : 0);
    }
    return test::database({{4, section}}, name);
}

enum class fault_t { none, signature, magic, unreadable_entry };

const char* fault_name(fault_t f)
{
    switch (f) {
    case fault_t::none:
        return "none";
    case fault_t::signature:
        return "signature";
    case fault_t::magic:
        return "magic";
    case fault_t::unreadable_entry:
        return "directory entry";
    }
    return "?";
}

// The files of the directory in the order a listing gives them.
std::vector<std::string> listing(const std::string& dir)
{
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        out.push_back(entry.path().string());
    return out;
}

// What the load must log for a file, given its fault.
std::string expected_line(const std::string& path, fault_t fault, std::size_t records)
{
    const std::string quoted = "\"" + path + "\"";
    switch (fault) {
    case fault_t::none:
        return "NVS database loaded: " + quoted + " (gamble, " + std::to_string(records) + ")";
    case fault_t::signature:
        return "Cannot load NVS database " + quoted + ": Bad file signature";
    case fault_t::magic:
        return "Cannot load NVS database " + quoted + ": Bad file format";
    case fault_t::unreadable_entry:
        return "Cannot load NVS database " + quoted + ": No such device";
    }
    return {};
}

// Writes `files` databases (every third one large), spoils the one at listing
// position `bad` with `fault`, loads the directory and checks every line and
// every loaded database.
void expect_only_the_bad_one_fails(std::size_t files, fault_t fault, std::size_t bad)
{
    SCOPED_TRACE(std::string(fault_name(fault)) + " at position " + std::to_string(bad) + " of "
                 + std::to_string(files));
    test::temp_dir_t dir;
    // Written under neutral names first; the listing order then decides
    // which one is spoiled, so that the bad one takes every position.
    std::map<std::string, std::size_t> records;
    for (std::size_t i = 0; i < files; ++i) {
        const std::size_t count = i % 3 == 0 ? 20000 : 40 + 7 * i;
        records[dir.file("f" + std::to_string(i) + ".nvs")] = count;
        test::write_file(dir.file("f" + std::to_string(i) + ".nvs"), host_database("gamble", count));
    }
    const auto order = listing(dir.path());
    ASSERT_EQ(order.size(), files);

    const std::string victim = order[bad];
    if (fault == fault_t::unreadable_entry) {
        std::filesystem::remove(victim);
        std::filesystem::create_directory(victim);
    } else {
        auto image = host_database("gamble", records[victim]);
        image[fault == fault_t::magic ? 1 : image.size() / 2] ^= 0x20;
        test::write_file(victim, image);
    }

    test::log_capture_t log;
    engine_t::estate_t estate;
    reload_databases(estate, dir.path());

    std::vector<std::string> expected{"NVS databases load/reload: \"" + dir.path() + "\""};
    for (const auto& path : order)
        expected.push_back(expected_line(path, path == victim ? fault : fault_t::none, records[path]));
    expected.push_back("NVS databases load/reload end");
    std::vector<std::string> got;
    for (const auto& line : log.lines())
        got.push_back(line.text);
    EXPECT_EQ(got, expected);

    EXPECT_EQ(estate.files.size(), files - 1);
    std::size_t keys = 0;
    for (const auto& file : estate.files) {
        EXPECT_NE(file->path(), victim);
        EXPECT_EQ(file->record_count(), records[file->path()]);
        keys += records[file->path()];
    }
    ASSERT_TRUE(estate.filter);
    EXPECT_EQ(estate.filter->key_count(), keys);
}

TEST(ReloadOrder, ABadFileInEachPositionSpoilsOnlyItselfAndLinesKeepTheListingOrder)
{
    for (const fault_t fault : {fault_t::signature, fault_t::magic, fault_t::unreadable_entry})
        for (std::size_t bad = 0; bad < 7; ++bad)
            expect_only_the_bad_one_fails(7, fault, bad);
}

TEST(ReloadOrder, MoreFilesThanAreOpenedAheadKeepTheirOrderToo)
{
    // Files are opened some way ahead of the one being loaded, not all at once.
    for (const std::size_t bad : {0, 15, 16, 17, 40})
        expect_only_the_bad_one_fails(41, fault_t::signature, bad);
}

// Images with every kind of outcome, some large enough that both threads work.
std::vector<bytes_t> mixed_images()
{
    std::vector<bytes_t> images;
    for (std::size_t i = 0; i < 12; ++i) {
        auto image = host_database("gamble", i % 4 == 0 ? 30000 : 10 + i);
        if (i % 5 == 1)
            image[image.size() - 41] ^= 1; // last signed byte
        else if (i % 5 == 3)
            image[image.size() - 1] ^= 0x80; // signature
        else if (i == 7)
            image.resize(20); // too short for a database
        images.push_back(std::move(image));
    }
    return images;
}

// The images written to a directory, with a path that names nothing and a
// directory among them; a null path for a file not to be opened.
struct check_files_t {
    test::temp_dir_t dir;
    std::vector<std::string> names;
    std::vector<const char*> paths;

    explicit check_files_t(const std::vector<bytes_t>& images)
    {
        for (std::size_t i = 0; i < images.size(); ++i) {
            names.push_back(dir.file("f" + std::to_string(i) + ".nvs"));
            test::write_file(names.back(), images[i]);
        }
        names.push_back(dir.file("missing.nvs"));
        names.push_back(dir.file("directory.nvs"));
        std::filesystem::create_directory(names.back());
        for (const auto& name : names)
            paths.push_back(name.c_str());
        paths.push_back(nullptr);
    }
};

void expect_outcome(open_checks_t::outcome_t outcome, const std::vector<bytes_t>& images, std::size_t i)
{
    SCOPED_TRACE("file " + std::to_string(i));
    if (i < images.size()) {
        ASSERT_TRUE(outcome.mapping);
        EXPECT_EQ(outcome.mapping.size(), images[i].size());
        EXPECT_EQ(outcome.check, index::check_container(images[i].data(), std::uint32_t(images[i].size())));
    } else if (i == images.size()) {
        EXPECT_FALSE(outcome.mapping);
        EXPECT_STREQ(outcome.failure.call, "open");
        EXPECT_EQ(outcome.failure.error, ENOENT);
    } else if (i == images.size() + 1) {
        // A directory opens but cannot be mapped.
        EXPECT_FALSE(outcome.mapping);
        EXPECT_STREQ(outcome.failure.call, "mmap");
        EXPECT_EQ(outcome.failure.error, ENODEV);
    } else {
        EXPECT_FALSE(outcome.mapping);
        EXPECT_EQ(outcome.failure.call, nullptr);
    }
}

TEST(OpenChecks, EveryOutcomeIsThatOfItsFileWithOrWithoutTheHelper)
{
    const auto images = mixed_images();
    std::vector<error_t> expected;
    for (const auto& image : images)
        expected.push_back(index::check_container(image.data(), std::uint32_t(image.size())));
    ASSERT_NE(std::count(expected.begin(), expected.end(), error_t::success), 0);
    ASSERT_NE(std::count(expected.begin(), expected.end(), error_t::bad_file_signature), 0);
    ASSERT_NE(std::count(expected.begin(), expected.end(), error_t::bad_file_format), 0);
    const check_files_t files(images);

    for (const bool helper : {false, true})
        for (const std::size_t ahead : {1, 2, 5, 16})
            for (int round = 0; round < 5; ++round) {
                SCOPED_TRACE(std::string(helper ? "with" : "without") + " helper, " + std::to_string(ahead)
                             + " ahead, round " + std::to_string(round));
                std::optional<helper_thread_t> thread;
                if (helper)
                    thread.emplace();
                open_checks_t checks(files.paths, thread ? &*thread : nullptr, ahead);
                EXPECT_EQ(checks.has_helper(), helper);
                for (std::size_t i = 0; i < files.paths.size(); ++i)
                    expect_outcome(checks.take(i), images, i);
            }
}

TEST(OpenChecks, OutcomesAreTakenInOrder)
{
    const auto images = mixed_images();
    const check_files_t files(images);
    open_checks_t checks(files.paths, nullptr, 4);
    expect_outcome(checks.take(0), images, 0);
    EXPECT_THROW(checks.take(2), std::logic_error);
    EXPECT_THROW(checks.take(0), std::logic_error);
    expect_outcome(checks.take(1), images, 1);
}

TEST(OpenChecks, GivingUpHalfWayJoinsTheHelperAndClosesWhatWasOpened)
{
    const auto images = mixed_images();
    const check_files_t files(images);
    const auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = open_descriptors();
    for (std::size_t taken = 0; taken <= files.paths.size(); taken += 3) {
        SCOPED_TRACE("taken " + std::to_string(taken));
        {
            helper_thread_t thread;
            open_checks_t checks(files.paths, &thread, 4);
            for (std::size_t i = 0; i < taken; ++i)
                expect_outcome(checks.take(i), images, i);
            // The destructor stops the helper, which may be waiting for room
            // ahead or still checking: either way it must return.
        }
        EXPECT_EQ(open_descriptors(), before);
    }
}

} // namespace
} // namespace nv::nvs::async
