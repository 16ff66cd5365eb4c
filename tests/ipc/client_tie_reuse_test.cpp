// A session parses every request into the same message object and builds
// every answer in the same one: nothing of one request or answer may show in
// the next. Requests and answers go over a real socket pair; the checks are
// held by the test and answered in the order it chooses.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/signals2/connection.hpp>

#include "common/error.h"
#include "ipc/client_count.h"
#include "ipc/client_tie.h"
#include "ipc/url_check_context.h"
#include "proto/urlcheck_client_ipc.pb.h"
#include "tests/support/fake_application.h"
#include "tests/support/frames.h"

namespace nv::test {
namespace {

// Keeps every check it is given until the test completes it.
class held_checker_t final : public uc::url_checker_t {
public:
    void check(uc::url_check_context_t&& context) override { held.push_back(std::move(context)); }

    std::vector<uc::url_check_context_t> held;
};

class ClientTieReuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        app_.checker = &checker_;
        counting_ = uc::client_count_signal().connect([this](int delta) { sessions_ += delta; });
        auto [ours, theirs] = socket_pair();
        client_ = std::move(ours);
        auto socket = std::make_shared<cf_basic_ipc_link_t::socket_t>(app_.event_loop());
        socket->assign(boost::asio::local::stream_protocol(), theirs.release());
        uc::client_tie_t::create(app_, std::move(socket));
    }

    void TearDown() override
    {
        client_.reset();
        checker_.held.clear();
        run_until([this] { return sessions_ == 0; });
    }

    // Runs the event loop until the condition holds; false after 30 s.
    bool run_until(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            if (const std::exception_ptr failure = app_.run_for(std::chrono::milliseconds(10)))
                std::rethrow_exception(failure);
        }
        return true;
    }

    fake_application_t app_;
    held_checker_t checker_;
    int sessions_ = 0;
    boost::signals2::scoped_connection counting_;
    unique_fd_t client_;
};

uc::ClientMessage request(std::uint32_t serial)
{
    uc::ClientMessage message;
    message.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
    message.set_serial(serial);
    return message;
}

TEST_F(ClientTieReuse, FieldsOfOneRequestDoNotReachTheNext)
{
    // Everything optional set, then requests that leave it out.
    uc::ClientMessage full = request(5);
    full.set_raw_url("http://alpha.example/a?x=1");
    full.mutable_decoded_url()->set_path("/decoded");
    full.mutable_addresses()->add_ip()->set_address("10.0.0.1");
    full.add_categories(UC_GAMBLING);
    uc::ClientMessage raw_only = request(6);
    raw_only.set_raw_url("http://bravo.example/b");
    uc::ClientMessage decoded_only = request(7);
    decoded_only.mutable_decoded_url()->set_path("/c");
    for (const uc::ClientMessage* message : {&full, &raw_only, &decoded_only})
        write_message(client_.get(), *message);
    ASSERT_TRUE(run_until([this] { return checker_.held.size() == 3; }));

    struct row_t {
        std::string host;
        std::string path;
        std::size_t parameters;
        std::size_t addresses;
        std::uint32_t mask;
    };
    const std::vector<row_t> rows{
        {"alpha.example", "/a", 1, 1, 1u << 5},
        {"bravo.example", "/b", 0, 0, 0xFFFFFFFFu},
        {"", "/c", 0, 0, 0xFFFFFFFFu},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("check " + std::to_string(i));
        const uc::url_check_context_t& context = checker_.held[i];
        EXPECT_EQ(context.url->host(), rows[i].host);
        EXPECT_EQ(context.url->path(), rows[i].path);
        EXPECT_EQ(context.url->parameters().size(), rows[i].parameters);
        EXPECT_EQ(context.url->addresses().size(), rows[i].addresses);
        EXPECT_EQ(context.category_mask, rows[i].mask);
    }
}

TEST_F(ClientTieReuse, FieldsOfOneAnswerDoNotReachTheNext)
{
    for (std::uint32_t serial = 1; serial <= 4; ++serial) {
        uc::ClientMessage message = request(serial);
        message.set_raw_url("http://host" + std::to_string(serial) + ".example/");
        write_message(client_.get(), message);
    }
    ASSERT_TRUE(run_until([this] { return checker_.held.size() == 4; }));

    // Finished out of order: an answer with everything set comes first.
    struct row_t {
        std::size_t check;
        nvs::report_t report;
        boost::system::error_code error;
        ErrorCode code;
        std::vector<int> categories;
    };
    const std::vector<row_t> rows{
        {2, {(1u << 5) | (1u << 12), "https://legal.example/"}, {}, EC_OK, {6, 13}},
        {0, {}, {}, EC_OK, {}},
        {3, {1u << 1, ""}, {}, EC_OK, {2}},
        {1, {}, make_error_code(EC_NO_NVS_BASES), EC_NO_NVS_BASES, {}},
    };
    for (const row_t& row : rows)
        checker_.held[row.check].complete(row.report, row.error, uc::url_check_context_t::source_t::nvs);
    // The answers are written by the event loop.
    app_.run_for(std::chrono::milliseconds(200));
    for (const row_t& row : rows) {
        SCOPED_TRACE("check " + std::to_string(row.check));
        const auto answer = read_message<uc::ServerMessage>(client_.get());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->tag(), uc::ServerMessage::CHECK_URL_RESPONSE);
        EXPECT_EQ(answer->serial(), row.check + 1);
        ASSERT_TRUE(answer->has_url_result());
        EXPECT_EQ(answer->url_result().error(), row.code);
        EXPECT_EQ(std::vector<int>(answer->url_result().categories().begin(), answer->url_result().categories().end()),
                  row.categories);
        EXPECT_EQ(answer->url_result().has_piracy_legal_url(), !row.report.legal_url.empty());
        EXPECT_EQ(answer->url_result().piracy_legal_url(), row.report.legal_url);
    }
}

}  // namespace
}  // namespace nv::test
