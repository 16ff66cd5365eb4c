// The committed seeds of the fuzz targets stay what they claim to be: the
// database seeds open, signature checked, in the normal build, and the link
// seeds are whole frames of the message type their peer sends. A seed that
// has quietly gone stale would leave the fuzzer starting from nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <google/protobuf/message.h>

#include "nvs/file.h"
#include "proto/cloudd_client_ipc.pb.h"
#include "proto/configd_urlcheck_ipc.pb.h"
#include "proto/urlcheck_client_ipc.pb.h"
#include "tests/support/frames.h"
#include "tests/support/temp_dir.h"

namespace nv::test {
namespace {

std::vector<std::string> seeds_of(const std::string& target)
{
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(NORVA_SOURCE_DIR) + "/fuzz/corpus/" + target))
        paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(FuzzSeeds, DatabaseSeedsAreSignedDatabasesWithRecords)
{
    const auto paths = seeds_of("nvs_file_fuzz");
    ASSERT_GE(paths.size(), 3u);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        std::unique_ptr<nvs::file_t> file;
        ASSERT_NO_THROW(file = std::make_unique<nvs::file_t>(path));
        EXPECT_GT(file->record_count(), 0u);
    }
}

TEST(FuzzSeeds, LinkSeedsAreWholeFramesOfThePeersMessages)
{
    struct row_t {
        const char* target;
        std::unique_ptr<google::protobuf::Message> prototype;
    };
    row_t rows[] = {
        {"client_session_fuzz", std::make_unique<uc::ClientMessage>()},
        {"configd_fuzz", std::make_unique<Configd2UrlCheckMessage>()},
        {"cloudd_fuzz", std::make_unique<cl::ServerMessage>()},
    };
    for (const row_t& row : rows) {
        const auto paths = seeds_of(row.target);
        EXPECT_GE(paths.size(), 3u) << row.target;
        for (const std::string& path : paths) {
            SCOPED_TRACE(path);
            const std::string bytes = read_file(path);
            std::size_t used = 0;
            const auto frames = whole_frames(bytes, &used);
            EXPECT_EQ(used, bytes.size()) << "a frame cut short at the end";
            for (const std::string_view frame : frames) {
                std::unique_ptr<google::protobuf::Message> message(row.prototype->New());
                // Partial: some seeds lack a required field on purpose.
                EXPECT_TRUE(message->ParsePartialFromArray(frame.data(), int(frame.size())));
            }
            EXPECT_FALSE(frames.empty());
        }
    }
}

}  // namespace
}  // namespace nv::test
