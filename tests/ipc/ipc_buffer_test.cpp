#include "ipc/ipc_buffer.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/frame.h"

namespace nv {
namespace {

constexpr std::uint32_t u32_max = std::numeric_limits<std::uint32_t>::max();

TEST(IpcBuffer, GrownCapacityIsTheLargerOfRequestAndOneAndAHalfSaturated)
{
    struct row_t {
        std::uint32_t capacity, n, expected;
    };
    const row_t rows[] = {
        {0, 4, 4},
        {1, 2, 2},                   // 1 * 1.5 rounds down to 1
        {4, 5, 6},
        {100, 101, 150},
        {101, 102, 151},             // 151.5 rounded down
        {100, 300, 300},
        {2'000'000'000, 2'000'000'001, 3'000'000'000},
        {3'000'000'000, 3'000'000'001, u32_max},  // 4.5e9 would wrap in 32 bits
        {u32_max - 1, u32_max, u32_max},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE("capacity " + std::to_string(row.capacity) + ", n " + std::to_string(row.n));
        EXPECT_EQ(ipc_buffer::grown_capacity(row.capacity, row.n), row.expected);
    }
}

TEST(IpcBuffer, GrowingKeepsContentsAndShrinkingKeepsStorage)
{
    ipc_buffer buffer;
    EXPECT_EQ(buffer.capacity(), 0u);
    buffer.resize(10);
    std::memcpy(buffer.data(), "0123456789", 10);
    const std::uint8_t* first = buffer.data();

    buffer.resize(0);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.capacity(), 10u);
    buffer.resize(10);
    EXPECT_EQ(buffer.data(), first) << "storage within capacity must be reused";
    EXPECT_EQ(std::memcmp(buffer.data(), "0123456789", 10), 0);

    buffer.resize(11);  // 10 * 1.5
    EXPECT_EQ(buffer.capacity(), 15u);
    EXPECT_EQ(std::memcmp(buffer.data(), "0123456789", 10), 0) << "contents lost while growing";

    buffer.resize(4);
    buffer.resize(15);
    EXPECT_EQ(buffer.capacity(), 15u) << "capacity never shrinks";
    EXPECT_EQ(std::memcmp(buffer.data(), "0123456789", 10), 0);

    // Growing from a shorter size copies only what the size covered.
    buffer.resize(3);
    buffer.resize(40);
    EXPECT_EQ(buffer.capacity(), 40u);
    EXPECT_EQ(std::memcmp(buffer.data(), "012", 3), 0);
}

TEST(IpcBuffer, SwapExchangesStorageSizeAndCapacity)
{
    ipc_buffer a;
    ipc_buffer b;
    a.resize(8);
    std::memcpy(a.data(), "abcdefgh", 8);
    b.resize(30);
    b.resize(2);
    const std::uint8_t* a_data = a.data();
    const std::uint8_t* b_data = b.data();

    a.swap(b);
    EXPECT_EQ(a.data(), b_data);
    EXPECT_EQ(a.size(), 2u);
    EXPECT_EQ(a.capacity(), 30u);
    EXPECT_EQ(b.data(), a_data);
    EXPECT_EQ(b.size(), 8u);
    EXPECT_EQ(std::memcmp(b.data(), "abcdefgh", 8), 0);
}

// The guard that keeps a never-reading peer from wrapping the pending output.
TEST(IpcBuffer, SizeWithFrameRefusesWhatPassesTheLimitWithoutWrapping)
{
    struct row_t {
        std::uint32_t size;
        std::size_t message_size;
        std::uint32_t limit;
        std::optional<std::uint32_t> expected;
    };
    const std::size_t size_max = std::numeric_limits<std::size_t>::max();
    const row_t rows[] = {
        {0, 100, u32_max, 104},
        {0, 0, u32_max, 4},
        {u32_max - 104, 100, u32_max, u32_max},      // exactly full
        {u32_max - 103, 100, u32_max, std::nullopt},  // one byte over: would wrap to 0
        {u32_max - 4, 0, u32_max, u32_max},
        {u32_max - 3, 0, u32_max, std::nullopt},      // the length field alone wraps
        {u32_max, 0, u32_max, std::nullopt},
        {u32_max - 10, max_ipc_message_size, u32_max, std::nullopt},
        {0, size_max, u32_max, std::nullopt},         // 4 + size_max wraps in size_t
        {0, size_max - 3, u32_max, std::nullopt},
        {0, std::size_t{u32_max} + 1, u32_max, std::nullopt},  // truncation to 32 bits would give 0
        {10, 90, 104, 104},
        {10, 91, 104, std::nullopt},
        {200, 0, 100, std::nullopt},                  // already past a lowered limit
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE("size " + std::to_string(row.size) + ", message " + std::to_string(row.message_size) +
                     ", limit " + std::to_string(row.limit));
        EXPECT_EQ(size_with_frame(row.size, row.message_size, row.limit), row.expected);
    }
}

TEST(Frame, LengthIsLittleEndianWhateverTheHost)
{
    const std::uint8_t wire[] = {0x01, 0x02, 0x00, 0x04};
    EXPECT_EQ(decode_frame_length(wire), 0x04000201u);
    std::uint8_t out[4] = {};
    encode_frame_length(0x04000201u, out);
    EXPECT_EQ(std::memcmp(out, wire, 4), 0);
}

TEST(Frame, AcceptedLengthsAreOneToTheMaximum)
{
    struct row_t {
        std::uint32_t length;
        bool valid;
    };
    const row_t rows[] = {
        {0, false}, {1, true}, {max_ipc_message_size, true}, {max_ipc_message_size + 1, false}, {u32_max, false},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.length);
        EXPECT_EQ(valid_frame_length(row.length, max_ipc_message_size), row.valid);
    }
    EXPECT_EQ(max_ipc_message_size, 67'108'864u);
}

// The first frame of a receive buffer: judged by its length field alone, whole
// only when every message byte is there, whatever follows it.
TEST(Frame, InspectingTheHeadOfAReceiveBuffer)
{
    using status = frame_status_t;
    auto bytes = [](std::uint32_t length, std::size_t body) {
        std::vector<std::uint8_t> out(4 + body, 'm');
        encode_frame_length(length, out.data());
        return out;
    };
    struct row_t {
        const char* name;
        std::vector<std::uint8_t> data;
        std::uint32_t max;
        status expected;
        std::uint32_t length;
    };
    const std::vector<row_t> rows = {
        {"nothing", {}, 100, status::incomplete, 0},
        {"three length bytes", {5, 0, 0}, 100, status::incomplete, 0},
        {"length only", bytes(5, 0), 100, status::incomplete, 0},
        {"one byte short", bytes(5, 4), 100, status::incomplete, 0},
        {"exactly one frame", bytes(5, 5), 100, status::complete, 5},
        {"a frame and more", bytes(5, 9), 100, status::complete, 5},
        {"length 0", bytes(0, 8), 100, status::bad_length, 0},
        {"length 0 alone", bytes(0, 0), 100, status::bad_length, 0},
        {"the maximum", bytes(100, 100), 100, status::complete, 100},
        {"above the maximum, no body yet", bytes(101, 0), 100, status::bad_length, 0},
        {"largest length field", bytes(u32_max, 3), u32_max, status::incomplete, 0},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        std::uint32_t length = 0;
        EXPECT_EQ(inspect_frame(row.data.data(), static_cast<std::uint32_t>(row.data.size()), row.max, length),
                  row.expected);
        EXPECT_EQ(length, row.length);
    }
}

}  // namespace
}  // namespace nv
