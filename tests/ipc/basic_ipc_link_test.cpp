// The message link over real socket pairs: the test plays the peer on a raw
// descriptor, the link runs on an io_context driven by the test.
#include "ipc/basic_ipc_link.h"

#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/io/zero_copy_stream.h>
#include <gtest/gtest.h>

#include "common/error.h"
#include "proto/urlcheck_client_ipc.pb.h"
#include "tests/support/frames.h"

namespace nv {
namespace {

using namespace std::chrono_literals;
using test::frame_bytes;
using test::unique_fd_t;

// What a link saw; kept outside the link so that it survives the link.
struct record_t {
    std::vector<std::string> messages;
    std::vector<boost::system::error_code> errors;
    int writes_started = 0;
    int writes_finished = 0;
    int queue_empty = 0;
    // Derived links close their socket on error; some tests look at what
    // happens when it stays open.
    bool close_on_error = true;
    bool throw_in_on_message = false;
    // Called after each message is recorded, with its index.
    std::function<void(std::size_t)> after_message;
};

class recording_link_t final : public cf_basic_ipc_link_t, public std::enable_shared_from_this<recording_link_t> {
public:
    explicit recording_link_t(record_t& record) : record_(record) {}

    using cf_basic_ipc_link_t::close_socket;
    using cf_basic_ipc_link_t::max_message_size;
    using cf_basic_ipc_link_t::max_pending_output;

private:
    void on_message(google::protobuf::io::ZeroCopyInputStream& input) override
    {
        if (record_.throw_in_on_message)
            throw std::runtime_error("on_message failed");
        std::string bytes;
        const void* data = nullptr;
        int size = 0;
        while (input.Next(&data, &size))
            bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(size));
        record_.messages.push_back(std::move(bytes));
        if (record_.after_message)
            record_.after_message(record_.messages.size() - 1);
    }
    void on_error(const boost::system::error_code& error) override
    {
        record_.errors.push_back(error);
        if (record_.close_on_error)
            close_socket();
    }
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }
    void on_write_started() override { ++record_.writes_started; }
    void on_write_finished() override { ++record_.writes_finished; }
    void on_send_queue_empty() override { ++record_.queue_empty; }

    record_t& record_;
};

// A message whose serialised size is exactly `size` (at least 4).
uc::ClientMessage message_of_size(std::size_t size, char fill = 'u')
{
    uc::ClientMessage message;
    message.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
    // The raw URL adds at least 2 bytes of tag and 2 of field header.
    for (std::size_t length = size > 4 ? size - 4 : size; length > 0; --length) {
        message.set_raw_url(std::string(length, fill));
        if (message.ByteSizeLong() == size)
            return message;
    }
    throw std::logic_error("no message of that size");
}

std::string frames_of(const std::vector<uc::ClientMessage>& messages)
{
    std::string out;
    for (const auto& m : messages)
        out += frame_bytes(m.SerializeAsString());
    return out;
}

class IpcLink : public ::testing::Test {
protected:
    void SetUp() override { connect(); }

    void TearDown() override { drain(); }

    // Closes the current link and lets its aborted operations complete.
    void drain()
    {
        if (link_)
            link_->close_socket();
        link_.reset();
        io_.restart();
        io_.run_for(30s);
    }

    // A fresh link and peer, with a fresh record.
    void connect()
    {
        drain();
        record_ = record_t{};
        auto [mine, theirs] = test::socket_pair();
        peer_ = std::move(theirs);
        link_ = std::make_shared<recording_link_t>(record_);
        link_fd_ = mine.get();
        link_->attach_socket(std::make_shared<cf_basic_ipc_link_t::socket_t>(
            io_, boost::asio::local::stream_protocol(), mine.release()));
        io_.restart();
    }

    // Drives the loop until the condition holds; false after a generous limit.
    template <class Condition>
    bool run_until(Condition condition, std::chrono::seconds limit = 30s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            io_.restart();
            io_.run_for(5ms);
        }
        return true;
    }

    // Runs whatever is ready for a moment, to give unwanted events a chance.
    void settle()
    {
        for (int i = 0; i < 10; ++i) {
            io_.restart();
            io_.run_for(5ms);
        }
    }

    std::size_t unread_at_link() const
    {
        char buffer[256];
        const ssize_t n = ::recv(link_fd_, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
        return n < 0 ? 0 : static_cast<std::size_t>(n);
    }

    boost::asio::io_context io_;
    record_t record_;
    std::shared_ptr<recording_link_t> link_;
    int link_fd_ = -1;
    unique_fd_t peer_;
};

TEST_F(IpcLink, FrameArrivingInManyPiecesIsDeliveredOnceComplete)
{
    std::string message(300, '\0');
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>(i * 7);
    const std::string wire = frame_bytes(message);
    link_->start_reading();

    // Cuts inside the length field, at its end, and all through the body.
    const std::size_t cuts[] = {1, 2, 3, 4, 5, 6, 50, 51, 200, 303};
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        test::write_bytes(peer_.get(), std::string_view(wire).substr(from, cut - from));
        from = cut;
        settle();
        ASSERT_TRUE(record_.messages.empty()) << "delivered after " << cut << " of " << wire.size() << " bytes";
    }
    test::write_bytes(peer_.get(), std::string_view(wire).substr(from));
    ASSERT_TRUE(run_until([&] { return !record_.messages.empty(); }));
    settle();
    ASSERT_EQ(record_.messages.size(), 1u);
    EXPECT_EQ(record_.messages[0], message);
    EXPECT_TRUE(record_.errors.empty());
}

TEST_F(IpcLink, TwoFramesInOneWriteAreTwoMessagesInOrder)
{
    link_->start_reading();
    test::write_bytes(peer_.get(), frame_bytes("first") + frame_bytes("second message"));
    ASSERT_TRUE(run_until([&] { return record_.messages.size() == 2; }));
    EXPECT_EQ(record_.messages[0], "first");
    EXPECT_EQ(record_.messages[1], "second message");
    EXPECT_TRUE(record_.errors.empty());
}

// What on_message does to its link after recording a message.
enum class reaction_t { none, close, close_and_drop, drop };

// The wire bytes in pieces of `piece` bytes (the last may be shorter).
std::vector<std::string> pieces_of(const std::string& wire, std::size_t piece)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; at < wire.size(); at += piece)
        out.push_back(wire.substr(at, piece));
    return out;
}

std::string length_field(std::uint32_t length)
{
    std::string h(4, '\0');
    encode_frame_length(length, reinterpret_cast<std::uint8_t*>(h.data()));
    return h;
}

// Every way frames can meet a read: several in one, split anywhere, a bad
// length behind good frames, the link closed or let go from its own on_message,
// the stream ending. Each write reaches the link's socket whole before the loop
// runs, so one write is what one read sees.
TEST_F(IpcLink, FramesAcrossReadsTable)
{
    const auto f = [](std::string_view m) { return frame_bytes(m); };
    const boost::system::error_code bad_size = make_error_code(EC_BAD_MESSAGE_SIZE);
    const boost::system::error_code eof = boost::asio::error::eof;
    struct row_t {
        const char* name;
        std::vector<std::string> writes;
        bool end_of_stream;
        reaction_t reaction;
        std::size_t react_at;  // index of the message whose on_message reacts
        std::vector<std::string> expected;
        std::optional<boost::system::error_code> error;
    };
    const std::vector<row_t> rows = {
        {"three frames in one write", {f("a") + f("bb") + f("ccc")}, false, reaction_t::none, 0,
         {"a", "bb", "ccc"}, std::nullopt},
        {"two frames one byte at a time", pieces_of(f("first") + f("second"), 1), false, reaction_t::none, 0,
         {"first", "second"}, std::nullopt},
        {"two frames three bytes at a time", pieces_of(f("first") + f("second!") + f("x"), 3), false,
         reaction_t::none, 0, {"first", "second!", "x"}, std::nullopt},
        {"length field split 1 + 3", {f("abc").substr(0, 1), f("abc").substr(1, 3), "abc"}, false,
         reaction_t::none, 0, {"abc"}, std::nullopt},
        {"second length field across two reads", {f("a") + f("b").substr(0, 2), f("b").substr(2) + f("c")},
         false, reaction_t::none, 0, {"a", "b", "c"}, std::nullopt},
        {"length 0 after two good frames in the same write", {f("a") + f("b") + length_field(0) + f("c")},
         false, reaction_t::none, 0, {"a", "b"}, bad_size},
        {"length above the maximum after a good frame in the same write",
         {f("a") + length_field(max_ipc_message_size + 1) + "body" + f("c")}, false, reaction_t::none, 0, {"a"},
         bad_size},
        {"bad length arriving byte by byte after a good frame", pieces_of(f("a") + length_field(0) + f("c"), 1),
         false, reaction_t::none, 0, {"a"}, bad_size},
        {"socket closed by the first of three frames in one write", {f("a") + f("b") + f("c")}, false,
         reaction_t::close, 0, {"a"}, std::nullopt},
        {"closed and let go by the second of three", {f("a") + f("b") + f("c")}, false,
         reaction_t::close_and_drop, 1, {"a", "b"}, std::nullopt},
        {"let go without closing: the link lives on its read", {f("a") + f("b"), f("c")}, false,
         reaction_t::drop, 0, {"a", "b", "c"}, std::nullopt},
        {"end of stream in the middle of a message", {f("a") + f("bbbb").substr(0, 6)}, true, reaction_t::none,
         0, {"a"}, eof},
        {"end of stream in the middle of a length field", {f("a") + f("b").substr(0, 2)}, true,
         reaction_t::none, 0, {"a"}, eof},
        {"end of stream between frames", {f("a") + f("b")}, true, reaction_t::none, 0, {"a", "b"}, eof},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        connect();
        record_.close_on_error = false;  // the link itself must stop
        std::weak_ptr<recording_link_t> weak = link_;
        record_.after_message = [&](std::size_t index) {
            if (index != row.react_at || row.reaction == reaction_t::none)
                return;
            if (row.reaction != reaction_t::drop)
                link_->close_socket();
            if (row.reaction != reaction_t::close)
                link_.reset();
        };
        weak.lock()->start_reading();
        for (const std::string& bytes : row.writes) {
            test::write_bytes(peer_.get(), bytes);
            settle();
        }
        if (row.end_of_stream)
            peer_.reset();
        settle();

        EXPECT_EQ(record_.messages, row.expected);
        if (row.error) {
            ASSERT_EQ(record_.errors.size(), 1u);
            EXPECT_EQ(record_.errors[0], *row.error) << record_.errors[0].message();
        } else {
            EXPECT_TRUE(record_.errors.empty()) << record_.errors[0].message();
        }
        if (row.reaction == reaction_t::close_and_drop) {
            EXPECT_TRUE(weak.expired()) << "nothing outstanding may hold a closed link";
        }
        if (row.reaction == reaction_t::drop) {
            ASSERT_FALSE(weak.expired()) << "its outstanding read owns the link";
            link_ = weak.lock();
        }
        if (!row.end_of_stream && !row.error && row.reaction == reaction_t::none) {
            // Still reading after all that: one more frame gets through.
            test::write_bytes(peer_.get(), f("more"));
            ASSERT_TRUE(run_until([&] { return record_.messages.size() == row.expected.size() + 1; }));
            EXPECT_EQ(record_.messages.back(), "more");
        }
    }
}

// A long stream of frames of mixed sizes, written in random pieces from another
// thread: every message arrives whole, once, in order.
TEST_F(IpcLink, RandomlyCutStreamArrivesIntact)
{
    std::mt19937 random(8);
    std::vector<std::string> messages;
    std::string wire;
    for (int i = 0; i < 2000; ++i) {
        const std::size_t size = i % 97 == 0 ? std::uniform_int_distribution<std::size_t>(20000, 300000)(random)
                                             : std::uniform_int_distribution<std::size_t>(1, 200)(random);
        std::string message(size, '\0');
        for (char& c : message)
            c = static_cast<char>(random());
        wire += frame_bytes(message);
        messages.push_back(std::move(message));
    }
    std::vector<std::string> writes;
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 40000)(random);
        writes.push_back(wire.substr(at, piece));
        at += piece;
    }
    link_->start_reading();
    std::thread writer([&] {
        for (const std::string& bytes : writes)
            test::write_bytes(peer_.get(), bytes);
    });
    const bool all = run_until([&] { return record_.messages.size() >= messages.size() || !record_.errors.empty(); },
                               120s);
    writer.join();
    ASSERT_TRUE(all);
    ASSERT_TRUE(record_.errors.empty()) << record_.errors[0].message();
    ASSERT_EQ(record_.messages.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i)
        ASSERT_TRUE(record_.messages[i] == messages[i]) << "message " << i;
}

TEST_F(IpcLink, InvalidLengthEndsReadingForGood)
{
    struct row_t {
        const char* name;
        std::string wire;
    };
    auto header = [](std::uint32_t length) {
        std::string h(4, '\0');
        encode_frame_length(length, reinterpret_cast<std::uint8_t*>(h.data()));
        return h;
    };
    const std::string body = "0123456789abcdef";
    const row_t rows[] = {
        {"length 0", header(0) + body},
        {"length 67108865", header(max_ipc_message_size + 1) + body},
        {"length 0xFFFFFFFF", header(0xFFFFFFFF) + body},
        // Text where a frame should be: "GET " read as a length is far too large.
        {"HTTP request", "GET / HTTP/1.0\r\n\r\n"},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        connect();
        record_.close_on_error = false;
        link_->start_reading();
        test::write_bytes(peer_.get(), row.wire);
        ASSERT_TRUE(run_until([&] { return !record_.errors.empty(); }));
        EXPECT_EQ(record_.errors[0], make_error_code(EC_BAD_MESSAGE_SIZE));
        // Reading has stopped for good: a valid frame after it is not read.
        test::write_bytes(peer_.get(), frame_bytes("late"));
        settle();
        EXPECT_EQ(record_.errors.size(), 1u);
        EXPECT_TRUE(record_.messages.empty());
        EXPECT_EQ(unread_at_link(), 8u);
    }
}

TEST_F(IpcLink, MessageOfExactlyTheMaximumIsDelivered)
{
    std::string message(max_ipc_message_size, '\0');
    for (std::size_t i = 0; i < message.size(); i += 4096)
        message[i] = static_cast<char>(i / 4096);
    message.back() = 'z';
    link_->start_reading();
    // Small frames around it: the large one starts in the middle of a read.
    std::thread writer([&] {
        test::write_bytes(peer_.get(), frame_bytes("before") + frame_bytes(message) + frame_bytes("after"));
    });
    const bool delivered = run_until([&] { return record_.messages.size() == 3 || !record_.errors.empty(); }, 120s);
    writer.join();
    ASSERT_TRUE(delivered);
    ASSERT_TRUE(record_.errors.empty()) << record_.errors[0].message();
    ASSERT_EQ(record_.messages.size(), 3u);
    EXPECT_EQ(record_.messages[0], "before");
    EXPECT_TRUE(record_.messages[1] == message);
    EXPECT_EQ(record_.messages[2], "after");
}

TEST_F(IpcLink, SendsWhileAWriteIsInFlightLeaveTogetherInCallOrder)
{
    link_->start_reading();
    const std::vector<uc::ClientMessage> sent = {message_of_size(40, 'a'), message_of_size(50, 'b'),
                                                 message_of_size(60, 'c'), message_of_size(70, 'd')};
    // The loop has not run, so the first write is still outstanding for the rest.
    for (const auto& m : sent)
        link_->async_send_message(m);
    EXPECT_EQ(record_.writes_started, 1);

    ASSERT_TRUE(run_until([&] { return record_.writes_finished == 2; }));
    settle();
    EXPECT_EQ(record_.writes_started, 2) << "the three queued messages must go out in one write";
    EXPECT_GE(record_.queue_empty, 1);
    EXPECT_EQ(test::read_bytes(peer_.get(), frames_of(sent).size()), frames_of(sent));
    EXPECT_TRUE(record_.errors.empty());
}

TEST_F(IpcLink, ClosingWithOperationsOutstandingReportsNothingAndFreesTheLink)
{
    link_->start_reading();
    // Larger than the socket buffers: the write stays outstanding while the peer does not read.
    link_->async_send_message(message_of_size(8 << 20));
    io_.poll();
    ASSERT_EQ(record_.writes_finished, 0);
    link_->async_send_message(message_of_size(100));

    std::weak_ptr<recording_link_t> weak = link_;
    link_->close_socket();
    link_->async_send_message(message_of_size(100));  // dropped, not queued
    link_.reset();
    ASSERT_FALSE(weak.expired()) << "outstanding operations must keep the link alive";
    io_.restart();
    io_.run_for(30s);  // returns as soon as the aborted operations have completed
    EXPECT_TRUE(io_.stopped());
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(record_.errors.empty());
    EXPECT_EQ(record_.writes_started, 1);
}

TEST_F(IpcLink, OversizeSendThrowsAndLeavesTheQueueAsItWas)
{
    link_->max_message_size = 100;
    link_->start_reading();
    const auto first = message_of_size(50, 'a');
    const auto second = message_of_size(60, 'b');
    const auto largest = message_of_size(100, 'd');
    link_->async_send_message(first);
    link_->async_send_message(second);
    try {
        link_->async_send_message(message_of_size(101, 'x'));
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), make_error_code(EC_BAD_MESSAGE_SIZE));
        EXPECT_NE(std::string(e.what()).find("async_send_message"), std::string::npos) << e.what();
    }
    link_->async_send_message(largest);

    const std::string expected = frames_of({first, second, largest});
    ASSERT_TRUE(run_until([&] { return record_.writes_finished == 2; }));
    EXPECT_EQ(test::read_bytes(peer_.get(), expected.size()), expected);
    EXPECT_EQ(test::read_bytes(peer_.get(), 1, 200ms), std::nullopt) << "something else was sent";
    EXPECT_TRUE(record_.errors.empty());
}

TEST_F(IpcLink, MessageAboveTheRealMaximumThrows)
{
    link_->start_reading();
    const auto oversize = message_of_size(std::size_t{max_ipc_message_size} + 1);
    EXPECT_THROW(link_->async_send_message(oversize), boost::system::system_error);
    EXPECT_EQ(record_.writes_started, 0);
}

// A peer that never reads while messages pile up: the link refuses to queue
// past its limit, reports ENOBUFS once, and what was queued stays intact.
TEST_F(IpcLink, PendingOutputPastItsLimitFailsTheLinkInsteadOfGrowing)
{
    record_.close_on_error = false;
    link_->start_reading();
    const auto m = [](char c) { return message_of_size(50, c); };
    link_->max_pending_output = 3 * (4 + 50);
    link_->async_send_message(m('a'));  // in flight, not pending
    link_->async_send_message(m('b'));
    link_->async_send_message(m('c'));
    link_->async_send_message(m('d'));  // pending output now exactly full
    EXPECT_NO_THROW(link_->async_send_message(m('e')));
    EXPECT_TRUE(record_.errors.empty()) << "reported from the loop, not inside the send";
    link_->async_send_message(m('f'));

    ASSERT_TRUE(run_until([&] { return !record_.errors.empty() && record_.writes_finished == 2; }));
    settle();
    ASSERT_EQ(record_.errors.size(), 1u);
    EXPECT_EQ(record_.errors[0], boost::system::error_code(ENOBUFS, boost::system::system_category()));
    link_->async_send_message(m('g'));  // the link has failed: still dropped
    settle();
    link_->close_socket();
    EXPECT_EQ(test::read_until_closed(peer_.get()), frames_of({m('a'), m('b'), m('c'), m('d')}));
}

TEST_F(IpcLink, MessagesSentBeforeTheSocketIsAttachedGoOutOnStart)
{
    record_t record;
    auto link = std::make_shared<recording_link_t>(record);
    const auto m = message_of_size(30);
    link->async_send_message(m);
    EXPECT_FALSE(link->is_open());
    link->attach_socket(link_->socket());
    link_.reset();
    link->start_reading();
    ASSERT_TRUE(run_until([&] { return record.writes_finished == 1; }));
    EXPECT_EQ(test::read_frame(peer_.get()), m.SerializeAsString());
    link->close_socket();
}

TEST_F(IpcLink, PeerClosingIsOneEndOfFileAndTheLinkGoesAway)
{
    record_.close_on_error = false;  // even without closing, reading stops: no spinning
    link_->start_reading();
    test::write_bytes(peer_.get(), frame_bytes("last words"));
    peer_.reset();
    std::weak_ptr<recording_link_t> weak = link_;
    link_.reset();
    io_.run_for(30s);  // returns once nothing is outstanding
    EXPECT_TRUE(io_.stopped());
    EXPECT_TRUE(weak.expired());
    ASSERT_EQ(record_.messages.size(), 1u);
    EXPECT_EQ(record_.messages[0], "last words");
    ASSERT_EQ(record_.errors.size(), 1u);
    EXPECT_EQ(record_.errors[0], boost::asio::error::eof);
}

TEST_F(IpcLink, PeerClosingInTheMiddleOfAFrameIsEndOfFile)
{
    link_->start_reading();
    test::write_bytes(peer_.get(), frame_bytes("truncated frame").substr(0, 9));
    peer_.reset();
    ASSERT_TRUE(run_until([&] { return !record_.errors.empty(); }));
    settle();
    EXPECT_TRUE(record_.messages.empty());
    ASSERT_EQ(record_.errors.size(), 1u);
    EXPECT_EQ(record_.errors[0], boost::asio::error::eof);
}

TEST_F(IpcLink, WritingToAClosedPeerIsAnErrorNotASignal)
{
    peer_.reset();
    link_->async_send_message(message_of_size(1000));  // write first, so it meets the closed peer
    link_->start_reading();
    ASSERT_TRUE(run_until([&] { return !record_.errors.empty(); }));
    settle();
    // Whichever of the read (end of file) and the write (broken pipe) fails
    // first, the link is closed then and the other completes silently.
    ASSERT_EQ(record_.errors.size(), 1u);
    EXPECT_TRUE(record_.errors[0] == boost::asio::error::eof ||
                record_.errors[0] == boost::asio::error::broken_pipe ||
                record_.errors[0] == boost::asio::error::connection_reset)
        << record_.errors[0].message();
}

// Valid frames followed by random bytes and the end of the stream: the frames
// arrive intact, then exactly one error ends reading, and the loop runs dry.
TEST_F(IpcLink, GarbageAfterValidFramesEndsReadingCleanly)
{
    std::mt19937 random(20261210);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        connect();
        record_.close_on_error = false;
        link_->max_message_size = 4096;
        std::vector<std::string> frames;
        std::string wire;
        for (int i = std::uniform_int_distribution<int>(0, 4)(random); i > 0; --i) {
            std::string message(std::uniform_int_distribution<std::size_t>(1, 300)(random), '\0');
            for (char& c : message)
                c = static_cast<char>(random());
            frames.push_back(message);
            wire += frame_bytes(message);
        }
        std::string garbage(std::uniform_int_distribution<std::size_t>(0, 64)(random), '\0');
        for (char& c : garbage)
            c = static_cast<char>(random());
        link_->start_reading();
        test::write_bytes(peer_.get(), wire + garbage);  // fits in the socket buffer
        peer_.reset();
        std::weak_ptr<recording_link_t> weak = link_;
        link_.reset();
        io_.restart();
        io_.run_for(30s);
        EXPECT_TRUE(io_.stopped()) << "operations still outstanding";
        EXPECT_TRUE(weak.expired());
        ASSERT_GE(record_.messages.size(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(record_.messages[i], frames[i]) << "frame " << i;
        ASSERT_EQ(record_.errors.size(), 1u);
        EXPECT_TRUE(record_.errors[0] == boost::asio::error::eof ||
                    record_.errors[0] == make_error_code(EC_BAD_MESSAGE_SIZE))
            << record_.errors[0].message();
    }
}

TEST_F(IpcLink, ExceptionFromOnMessageLeavesTheLoop)
{
    record_.throw_in_on_message = true;
    link_->start_reading();
    test::write_frame(peer_.get(), "boom");
    EXPECT_THROW(run_until([] { return false; }, 30s), std::runtime_error);
    EXPECT_TRUE(record_.errors.empty());
    link_->close_socket();
}

}  // namespace
}  // namespace nv
