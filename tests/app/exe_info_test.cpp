#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/exe_info.h"
#include "common/exception.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace uc {
namespace {

using nv::test::describe;
using nv::test::process_options_t;
using nv::test::read_file;
using nv::test::run_process;
using nv::test::temp_dir_t;

std::string base64(const std::string& bytes)
{
    std::vector<unsigned char> text(4 * ((bytes.size() + 2) / 3) + 1);
    const int length = EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length));
}

std::string md5(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

// The report expected for a file, built independently of the code under test.
std::string expected_report(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    const passwd* owner = getpwuid(status.st_uid);
    const std::string owner_text = owner ? owner->pw_name : std::to_string(status.st_uid);
    return "{\"version\":\"11.1.3.2205231640\",\"installTime\":\"" + std::to_string(status.st_ctime) +
           "\",\"modificationTime\":\"" + std::to_string(status.st_mtime) + "\",\"exeSize\":\"" +
           std::to_string(status.st_size) + "\",\"exeMd5\":\"" + base64(md5(read_file(path))) +
           "\",\"exeOwner\":\"" + base64(owner_text) + "\"}\n";
}

// Runs the executable at `program` with the given argv[0] and working directory.
nv::test::process_result_t dump(const std::string& program, const std::string& argv0, const std::string& cwd = "")
{
    process_options_t options;
    options.program = program;
    options.argv = {argv0, "--dump-app-info"};
    options.cwd = cwd;
    options.unset_env = {"COM_NORVA_MONITOR"};
    return run_process(options);
}

const std::string executable = nv::test::bin_path("norva-urlcheck");

TEST(ExeInfo, ReportOfTheRunningExecutable)
{
    const auto result = dump(executable, executable);
    ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
    EXPECT_EQ(result.out, expected_report(executable));
    EXPECT_EQ(result.out.find(' '), std::string::npos);
    EXPECT_EQ(result.err, "");
}

TEST(ExeInfo, RelativePathAndSymbolicLinkResolve)
{
    temp_dir_t dir;
    const auto bin = boost::filesystem::path(executable).parent_path();
    boost::filesystem::create_symlink(executable, dir.path() / "link");
    boost::filesystem::create_directory(dir.path() / "sub");
    struct row_t {
        const char* name;
        std::string program;
        std::string argv0;
        std::string cwd;
    };
    const row_t rows[] = {
        {"relative", "./norva-urlcheck", "./norva-urlcheck", bin.string()},
        {"dot-dot", executable, "../" + bin.filename().string() + "/norva-urlcheck", bin.string()},
        {"symlink", dir / "link", "link", dir.path().string()},
        {"symlink through ..", dir / "link", "sub/../link", dir.path().string()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto result = dump(row.program, row.argv0, row.cwd);
        ASSERT_TRUE(result.exited && result.exit_status == 0) << describe(result);
        EXPECT_EQ(result.out, expected_report(executable));
    }
}

TEST(ExeInfo, UnresolvablePathsGiveAnEmptyReport)
{
    temp_dir_t dir;
    struct row_t {
        const char* name;
        std::string argv0;
    };
    const row_t rows[] = {
        // argv[0] is not searched for in PATH.
        {"bare name elsewhere", "norva-urlcheck"},
        {"missing file", dir / "missing"},
        {"a directory", dir.path().string()},
        {"empty", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto result = dump(executable, row.argv0, dir.path().string());
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, "{}\n");
        EXPECT_EQ(result.err, "");
    }
}

// A copy of the executable owned by a uid without a password entry, run by
// that uid: the owner is the number; with mode 0111 it cannot read itself.
TEST(ExeInfo, OwnerWithoutPasswordEntryAndUnreadableFile)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the file to another uid";
    uid_t stranger = 54321;
    while (getpwuid(stranger))
        ++stranger;
    temp_dir_t dir;
    chmod(dir.path().c_str(), 0755);
    const std::string copy = dir / "norva-urlcheck";
    boost::filesystem::copy_file(executable, copy);
    ASSERT_EQ(chown(copy.c_str(), stranger, stranger), 0);

    const auto readable = dump(copy, copy);
    ASSERT_TRUE(readable.exited && readable.exit_status == 0) << describe(readable);
    EXPECT_EQ(readable.out, expected_report(copy));
    EXPECT_NE(readable.out.find("\"exeOwner\":\"" + base64(std::to_string(stranger)) + "\""), std::string::npos)
        << readable.out;

    ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(copy.c_str(), 0111), 0);
    const auto unreadable = nv::test::run_function([&] {
        if (setgid(stranger) != 0 || setuid(stranger) != 0)
            _exit(120);
        const char* argv[] = {copy.c_str(), "--dump-app-info", nullptr};
        unsetenv("COM_NORVA_MONITOR");
        execv(copy.c_str(), const_cast<char* const*>(argv));
        _exit(121);
        return 0;
    });
    ASSERT_TRUE(unreadable.exited) << describe(unreadable);
    EXPECT_EQ(unreadable.exit_status, 0) << describe(unreadable);
    EXPECT_EQ(unreadable.out, "{}\n");
}

TEST(Md5OfFile, DigestOfContents)
{
    temp_dir_t dir;
    struct row_t {
        std::string contents;
        const char* hex_digest;
    };
    const row_t rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        // More than one read block.
        {std::string(20000, 'a'), nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.contents.size());
        const std::string path = dir / "file";
        nv::test::write_file(path, row.contents);
        const std::string digest = md5_of_file(path);
        EXPECT_EQ(digest.size(), 16u);
        EXPECT_EQ(hex(digest), row.hex_digest ? row.hex_digest : hex(md5(row.contents)));
    }
}

TEST(Md5OfFile, FailuresNameThePathQuoted)
{
    temp_dir_t dir;
    struct row_t {
        const char* name;
        std::string path;
        std::string text;
        nv::ErrorCode code;
    };
    const std::string odd = dir / "a\"b&c";
    const row_t rows[] = {
        {"missing", dir / "missing", "MD5: open: No such file or directory [system:2]: \"" + (dir / "missing") + "\"",
         nv::EC_NO_SUCH_ENTRY},
        {"quote and ampersand", odd,
         "MD5: open: No such file or directory [system:2]: \"" + dir.path().string() + "/a&\"b&&c\"",
         nv::EC_NO_SUCH_ENTRY},
        {"directory", dir.path().string(),
         "MD5: read: Is a directory [system:21]: \"" + dir.path().string() + "\"", nv::EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        try {
            md5_of_file(row.path);
            ADD_FAILURE() << "no exception";
        } catch (const nv::cf_proto_exception_t& e) {
            EXPECT_EQ(e.what(), row.text);
            EXPECT_EQ(e.code(), row.code);
        }
    }
}

TEST(PrintExeInfo, FieldOrderBase64AndEmptyMessage)
{
    std::ostringstream empty;
    print_exe_info(empty, nv::AppExeInfo());
    EXPECT_EQ(empty.str(), "{}");

    nv::AppExeInfo info;
    info.set_exe_owner("root");
    info.set_exe_md5(std::string("\x00\x01", 2));
    info.set_exe_size(3);
    info.set_modification_time(2);
    info.set_install_time(18446744073709551615ull);
    info.set_version("v");
    std::ostringstream full;
    print_exe_info(full, info);
    EXPECT_EQ(full.str(), "{\"version\":\"v\",\"installTime\":\"18446744073709551615\",\"modificationTime\":\"2\","
                          "\"exeSize\":\"3\",\"exeMd5\":\"AAE=\",\"exeOwner\":\"cm9vdA==\"}");
}

TEST(CollectExeInfo, NoArgumentVector)
{
    try {
        collect_exe_info("v", 0, nullptr);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unknown exe path");
    }
}

TEST(CollectExeInfo, NotARegularFile)
{
    char argv0[] = "/dev/null";
    char* argv[] = {argv0, nullptr};
    try {
        collect_exe_info("v", 1, argv);
        FAIL() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), nv::EC_NOT_A_REGULAR_FILE);
    }
}

}  // namespace
}  // namespace uc
