#include "nvs/io/mapped_file.h"

#include "nvs/index/error.h"
#include "tests/support/nvs_fixture.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace nv::nvs {
namespace {

using test::temp_dir_t;

std::pair<boost::system::error_code, std::string> open_failure(const std::string& path)
{
    try {
        io::mapped_file_t::open(path);
    } catch (const boost::system::system_error& e) {
        return {e.code(), e.what()};
    }
    return {};
}

TEST(MappedFile, MapsTheWholeFile)
{
    temp_dir_t dir;
    test::write_text(dir.file("a"), "hello");
    const auto file = io::mapped_file_t::open(dir.file("a"));
    EXPECT_EQ(file.path(), dir.file("a"));
    ASSERT_EQ(file.size(), 5u);
    EXPECT_EQ(std::memcmp(file.data(), "hello", 5), 0);
    const auto copy = file; // copies share the mapping
    EXPECT_EQ(copy.data(), file.data());
}

TEST(MappedFile, SystemFailuresNameTheCall)
{
    temp_dir_t dir;
    test::write_text(dir.file("empty"), "");
    const struct {
        std::string path;
        int error;
        const char* call;
    } rows[] = {
        {dir.file("missing"), ENOENT, "open"},
        {dir.file("empty"), EINVAL, "mmap"}, // the system refuses a mapping of length 0
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const auto [code, what] = open_failure(row.path);
        EXPECT_EQ(code, boost::system::error_code(row.error, boost::system::system_category()));
        EXPECT_EQ(what.substr(0, std::strlen(row.call) + 1), std::string(row.call) + ":");
    }
}

TEST(MappedFile, FileOf4GiBIsAFormatError)
{
    // Sizes and offsets in a database are 32-bit; a sparse file costs no space.
    temp_dir_t dir;
    const std::string path = dir.file("huge.nvs");
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const bool sized = ::ftruncate(::fileno(f), off_t(1) << 32) == 0;
    std::fclose(f);
    if (!sized)
        GTEST_SKIP() << "no sparse 4 GiB file here";
    EXPECT_EQ(open_failure(path).first, make_error_code(error_t::bad_file_format));
}

TEST(MappedFile, ChangedOnlyWhenThePathNamesAnotherFile)
{
    temp_dir_t dir;
    const std::string path = dir.file("db.nvs");
    test::write_text(path, "first version");
    const auto file = io::mapped_file_t::open(path);
    EXPECT_FALSE(file.changed());

    // Rewritten in place: same inode, new size and time; not a change.
    test::write_text(path, "rewritten in place, longer than before");
    EXPECT_FALSE(file.changed());

    // Replaced by rename: another inode.
    test::write_text(dir.file("new"), "replacement");
    ASSERT_EQ(std::rename(dir.file("new").c_str(), path.c_str()), 0);
    EXPECT_TRUE(file.changed());

    // Gone: counts as changed, without raising.
    const auto replaced = io::mapped_file_t::open(path);
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_NO_THROW(EXPECT_TRUE(replaced.changed()));
}

TEST(MappedFile, MappingOutlivesReplacementOfTheFile)
{
    temp_dir_t dir;
    const std::string path = dir.file("db.nvs");
    test::write_text(path, "old contents");
    const auto file = io::mapped_file_t::open(path);
    test::write_text(dir.file("new"), "new contents!");
    ASSERT_EQ(std::rename(dir.file("new").c_str(), path.c_str()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), file.size()), "old contents");
}

} // namespace
} // namespace nv::nvs
