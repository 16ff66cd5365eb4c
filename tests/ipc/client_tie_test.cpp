// What a client session turns requests and reports into: the category mask of
// a request and the answer of a finished check; and a session over a real
// socket pair whose client stops reading its answers.
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>

#include "common/error.h"
#include "common/log.h"
#include "ipc/client_count.h"
#include "ipc/client_tie.h"
#include "ipc/url_check_context.h"
#include "proto/urlcheck_client_ipc.pb.h"
#include "tests/support/fake_application.h"
#include "tests/support/frames.h"

namespace nv::test {
namespace {

TEST(ClientTie, CategoryMaskOfARequest)
{
    struct row_t {
        std::vector<UrlCategory> categories;
        std::uint32_t mask;
    };
    const std::vector<row_t> rows{
        {{}, 0xFFFFFFFFu},
        {{UC_BLACK_LIST}, 0x20000000u},
        {{UC_INFECTION_SOURCE}, 0x1u},
        {{UC_JOBS}, 0x10000u},
        {{UC_GAMBLING, UC_OWNERS_NOTICE, UC_GAMBLING}, (1u << 5) | (1u << 12)},
    };
    for (const row_t& row : rows) {
        uc::ClientMessage request;
        for (const UrlCategory category : row.categories)
            request.add_categories(category);
        SCOPED_TRACE(request.ShortDebugString());
        EXPECT_EQ(uc::category_mask_of(request.categories()), row.mask);
    }
}

TEST(ClientTie, AnswerListsCategoriesInTheFixedOrderWithTheLegalUrl)
{
    struct row_t {
        std::uint32_t found;
        std::string legal_url;
        boost::system::error_code error;
        ErrorCode code;
        std::vector<int> categories;
    };
    const std::vector<row_t> rows{
        {(1u << 12) | (1u << 16) | (1u << 1), "", {}, EC_OK, {2, 13, 17}},
        {(1u << 0) | (1u << 12) | (1u << 13), "https://store.example/", {}, EC_OK, {1, 14, 13}},
        {(1u << 29) | (1u << 16) | (1u << 15) | (1u << 11), "", {}, EC_OK, {12, 16, 20, 17}},
        // "unspecified" has no wire value.
        {1u << 30, "", {}, EC_OK, {}},
        {0, "", make_error_code(EC_NO_NVS_BASES), EC_NO_NVS_BASES, {}},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(std::to_string(row.found));
        uc::UrlResult result;
        uc::fill_url_result(nvs::report_t{row.found, row.legal_url}, row.error, result);
        EXPECT_EQ(result.error(), row.code);
        EXPECT_EQ(std::vector<int>(result.categories().begin(), result.categories().end()), row.categories);
        EXPECT_EQ(result.has_piracy_legal_url(), !row.legal_url.empty());
        EXPECT_EQ(result.piracy_legal_url(), row.legal_url);
    }
}

// Every single bit and every bit at once: the answer lists what the category
// table gives for the report, in its order.
TEST(ClientTie, AnswerCategoriesFollowTheCategoryTableForEveryBit)
{
    std::vector<std::uint32_t> masks{0xFFFFFFFFu};
    for (int bit = 0; bit < 32; ++bit)
        masks.push_back(1u << bit);
    for (const std::uint32_t mask : masks) {
        SCOPED_TRACE(mask);
        uc::UrlResult result;
        uc::fill_url_result(nvs::report_t{mask, ""}, {}, result);
        std::vector<int> expected;
        for (const UrlCategory category : nvs::url_categories_of(mask))
            expected.push_back(category);
        EXPECT_EQ(std::vector<int>(result.categories().begin(), result.categories().end()), expected);
    }
}

TEST(ClientTie, VerdictSummaryOfTheLog)
{
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{}, {}), "None");
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{1u << 30, ""}, {}), "");
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{(1u << 29) | (1u << 5) | (1u << 12), ""}, {}),
              "Gambling, Copyright owner's notice, Black list");
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{1u, ""}, make_error_code(EC_NO_NVS_BASES)),
              "Error: No web resource databases");
}

// Answers every check from the event loop as a piracy match whose legal URL
// makes each answer about 4 KB, so that a few hundred answers pass a bound.
class piracy_checker_t final : public uc::url_checker_t {
public:
    piracy_checker_t(boost::asio::io_context& loop, std::string legal) : loop_(loop), legal_(std::move(legal)) {}

    void check(uc::url_check_context_t&& context) override
    {
        boost::asio::post(loop_, [callback = std::move(context.callback), legal = legal_] {
            callback(nvs::report_t{1u << 12, legal}, {});
        });
    }

private:
    boost::asio::io_context& loop_;
    std::string legal_;
};

// Keeps the lines the sessions log, with their levels.
class captured_log_t final : public cf_log_t {
public:
    captured_log_t() : cf_log_t({}, {}) {}

    void write(int level, std::string_view text) override
    {
        const std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(level) + " " + std::string(text));
    }
    void write_tagged(std::string_view, int, std::string_view) override {}
    void out_of_memory() noexcept override {}

    std::vector<std::string> lines_ending(const std::string& end)
    {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> found;
        for (const std::string& line : lines_)
            if (line.ends_with(end))
                found.push_back(line);
        return found;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// One session of the real client_tie_t on a socket pair; the test is its client.
class ClientTieSession : public ::testing::Test {
protected:
    static constexpr std::uint32_t bound = (1u << 20) + ipc_frame_header_size;

    void SetUp() override
    {
        app_.checker = &checker_;
        previous_level_ = log_level();
        set_level(log_debug);
        install_log(log_);
        counting_ = uc::client_count_signal().connect([this](int delta) { sessions_ += delta; });
        auto [ours, theirs] = socket_pair();
        client_ = std::move(ours);
        auto socket = std::make_shared<cf_basic_ipc_link_t::socket_t>(app_.event_loop());
        socket->assign(boost::asio::local::stream_protocol(), theirs.release());
        uc::client_tie_t::create(app_, std::move(socket), bound);
    }

    void TearDown() override
    {
        client_.reset();
        // The session sees the close and goes.
        run_until([this] { return sessions_ == 0; });
        counting_.disconnect();
        // The captured log stays installed (a log cannot be uninstalled); the
        // level goes back.
        set_level(previous_level_);
    }

    // Runs the event loop until the condition holds; false after 30 s.
    bool run_until(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            if (const std::exception_ptr failure = app_.run_for(10ms))
                std::rethrow_exception(failure);
        }
        return true;
    }

    static std::string requests(std::uint32_t first, std::uint32_t count)
    {
        std::string bytes;
        for (std::uint32_t serial = first; serial < first + count; ++serial) {
            uc::ClientMessage request;
            request.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
            request.set_serial(serial);
            request.set_raw_url("http://pirate.example/" + std::to_string(serial));
            bytes += frame_bytes(request.SerializeAsString());
        }
        return bytes;
    }

    const std::string legal_ = "https://store.example/" + std::string(4000, 'l');
    fake_application_t app_;
    piracy_checker_t checker_{app_.event_loop(), legal_};
    std::shared_ptr<captured_log_t> log_ = std::make_shared<captured_log_t>();
    int previous_level_ = log_info;
    std::atomic<int> sessions_ = 0;
    boost::signals2::scoped_connection counting_;
    unique_fd_t client_;
};

TEST_F(ClientTieSession, ClientThatNeverReadsIsClosedPastTheBoundWithAWarning)
{
    // 2,000 answers of 4 KB: eight times the bound, far more than the socket
    // buffers hold.
    constexpr std::uint32_t count = 2000;
    write_bytes(client_.get(), requests(0, count));
    ASSERT_TRUE(run_until([this] { return sessions_ == 0; })) << "the session was not closed";

    EXPECT_EQ(log_->lines_ending(": Output above 1 MiB unsent, closing the connection").size(), 1u);
    for (const std::string& line : log_->lines_ending(": Output above 1 MiB unsent, closing the connection"))
        EXPECT_TRUE(line.starts_with(std::to_string(log_warning) + " Client 0x")) << line;

    // What was written before the close: whole answers to distinct requests,
    // perhaps ending in part of one; no more than the bound and what the
    // socket held.
    const std::optional<std::string> received_or_not = read_until_gone(client_.get());
    ASSERT_TRUE(received_or_not) << "the connection stayed open";
    const std::string& received = *received_or_not;
    std::set<std::uint32_t> serials;
    for (const std::string_view frame : whole_frames(received)) {
        uc::ServerMessage answer;
        ASSERT_TRUE(answer.ParseFromArray(frame.data(), static_cast<int>(frame.size())));
        ASSERT_TRUE(serials.insert(answer.serial()).second);
        ASSERT_EQ(answer.url_result().piracy_legal_url(), legal_);
    }
    EXPECT_GT(serials.size(), 0u);
    EXPECT_LT(serials.size(), count);
    EXPECT_LT(received.size(), 2 * std::size_t{bound} + (4u << 20));
}

TEST_F(ClientTieSession, ClientThatReadsIsAnsweredWhateverTheTotal)
{
    // Batches of 100 answers (400 KB) stay below the bound while they wait;
    // 30 of them pass it ten times over.
    constexpr std::uint32_t batch = 100;
    constexpr std::uint32_t batches = 30;
    std::atomic<bool> finished = false;
    std::set<std::uint32_t> serials;
    std::string failure;
    std::thread client([&] {
        try {
            for (std::uint32_t b = 0; b < batches; ++b) {
                write_bytes(client_.get(), requests(b * batch, batch));
                for (std::uint32_t i = 0; i < batch; ++i) {
                    const auto answer = read_message<uc::ServerMessage>(client_.get(), 30s);
                    if (!answer || answer->url_result().piracy_legal_url() != legal_)
                        throw std::runtime_error("answer missing or wrong in batch " + std::to_string(b));
                    serials.insert(answer->serial());
                }
            }
        } catch (const std::exception& e) {
            failure = e.what();
        }
        finished = true;
    });
    const bool done = run_until([&] { return finished.load(); });
    client.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(serials.size(), std::size_t{batch} * batches);
    EXPECT_EQ(sessions_, 1);
    EXPECT_TRUE(log_->lines_ending("unsent, closing the connection").empty());
}

}  // namespace
}  // namespace nv::test
