// The CloudD connection against a test playing CloudD on a real socket:
// serials, answers matched and cut to the mask, unknown serials ignored, bad
// answers closing the connection, and pending checks failed when it goes.
#include <sys/socket.h>
#include <sys/un.h>

#include <unistd.h>

#include <cstring>

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include "check/cloudd_connection.h"
#include "common/error.h"
#include "nvs/url/url.h"
#include "proto/cloudd_client_ipc.pb.h"
#include "tests/support/fake_application.h"
#include "tests/support/frames.h"
#include "tests/support/temp_dir.h"

namespace nv::test {
namespace {

struct outcome_t {
    std::uint32_t serial;
    nvs::report_t report;
    boost::system::error_code error;
};

class CloudDConnection : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string path = dir / "cloudd.sock";
        ::unlink(path.c_str());
        listener = unique_fd_t(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener.get(), 4), 0);
        connection = uc::cloudd_connection_t::connect(application, path);
        peer = unique_fd_t(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_GE(peer.get(), 0);
        closed_slot = connection->closed.connect([this] { ++closed; });
    }

    // Sends a check of the URL; its outcome lands in `outcomes` tagged with `tag`.
    void check(const std::string& url, nvs::category_set_t mask, std::uint32_t tag)
    {
        connection->check(nvs::url_t(url), mask, [this, tag](const nvs::report_t& report,
                                                             const boost::system::error_code& error) {
            outcomes.push_back({tag, report, error});
        });
    }

    // What the daemon sent, as CloudD reads it.
    cl::ClientMessage next_request()
    {
        application.run_for(50ms);
        std::optional<cl::ClientMessage> request = read_message<cl::ClientMessage>(peer.get());
        if (!request)
            throw std::runtime_error("no request");
        return *request;
    }

    void answer(std::uint32_t serial, ErrorCode result, const std::vector<UrlCategory>& categories)
    {
        cl::ServerMessage message;
        message.set_tag(cl::ServerMessage::CHECK_URL_RESPONSE);
        message.set_serial(serial);
        message.mutable_url_result()->set_result(result);
        for (const UrlCategory category : categories)
            message.mutable_url_result()->add_categories(category);
        write_message(peer.get(), message);
    }

    temp_dir_t dir;
    fake_application_t application;
    unique_fd_t listener;
    unique_fd_t peer;
    std::shared_ptr<uc::cloudd_connection_t> connection;
    boost::signals2::scoped_connection closed_slot;
    int closed = 0;
    std::vector<outcome_t> outcomes;
};

TEST_F(CloudDConnection, AnswersAreMatchedBySerialAndCutToTheMask)
{
    check("http://a.example/", 0x4, 10);
    check("http://b.example/", 0xFFFFFFFF, 11);
    check("http://c.example/", 0xFFFFFFFF, 12);
    for (std::uint32_t serial = 0; serial < 3; ++serial) {
        const cl::ClientMessage request = next_request();
        EXPECT_EQ(request.tag(), cl::ClientMessage::CHECK_URL_REQUEST);
        EXPECT_EQ(request.serial(), serial);
    }
    // Out of order, one unknown serial among them, one error result.
    answer(2, EC_UNEXPECTED_ERROR, {UC_CHATS});
    answer(77, EC_OK, {UC_CHATS});
    answer(0, EC_OK, {UC_ADULT_CONTENT, UC_GAMBLING});
    answer(1, EC_OK, {UC_BLACK_LIST, UC_JOBS});
    application.run_for(300ms);

    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].serial, 12u);
    EXPECT_EQ(outcomes[0].error, make_error_code(EC_UNEXPECTED_ERROR));
    EXPECT_EQ(outcomes[0].report.categories, 0u);
    EXPECT_EQ(outcomes[1].serial, 10u);
    EXPECT_FALSE(outcomes[1].error);
    EXPECT_EQ(outcomes[1].report.categories, 0x4u);
    EXPECT_EQ(outcomes[2].serial, 11u);
    EXPECT_EQ(outcomes[2].report.categories, (1u << 29) | (1u << 16));
    EXPECT_EQ(connection->pending(), 0u);
    EXPECT_TRUE(connection->is_open());
    EXPECT_EQ(closed, 0);
}

TEST_F(CloudDConnection, PendingChecksFailWithOperationAbortedInSerialOrderWhenTheConnectionGoes)
{
    check("http://a.example/", 0xFFFFFFFF, 10);
    check("http://b.example/", 0xFFFFFFFF, 11);
    check("http://c.example/", 0xFFFFFFFF, 12);
    for (int i = 0; i < 3; ++i)
        next_request();
    answer(1, EC_OK, {UC_CHATS});
    application.run_for(200ms);
    ASSERT_EQ(outcomes.size(), 1u);

    connection->close();
    EXPECT_EQ(closed, 1);
    connection.reset();
    application.run_for(200ms);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[1].serial, 10u);
    EXPECT_EQ(outcomes[2].serial, 12u);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(outcomes[i].error, boost::asio::error::operation_aborted);
        EXPECT_EQ(outcomes[i].report, nvs::report_t{});
    }
}

TEST_F(CloudDConnection, BadAnswersCloseTheConnection)
{
    struct row_t {
        const char* name;
        std::string frame;
    };
    cl::ServerMessage no_serial;
    no_serial.set_tag(cl::ServerMessage::CHECK_URL_RESPONSE);
    no_serial.mutable_url_result()->set_result(EC_OK);
    cl::ServerMessage no_result;
    no_result.set_tag(cl::ServerMessage::CHECK_URL_RESPONSE);
    no_result.set_serial(0);
    cl::ServerMessage wrong_tag = no_result;
    wrong_tag.set_tag(cl::ServerMessage::CHECK_FILE_RESPONSE);
    const std::vector<row_t> rows{
        {"no serial", no_serial.SerializeAsString()},
        {"no url_result", no_result.SerializeAsString()},
        {"another tag", wrong_tag.SerializeAsString()},
        {"bytes that do not parse", "\xff\xff\xff"},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        outcomes.clear();
        closed = 0;
        check("http://a.example/", 0xFFFFFFFF, 1);
        next_request();
        write_frame(peer.get(), row.frame);
        application.run_for(200ms);
        EXPECT_EQ(closed, 1);
        EXPECT_FALSE(connection->is_open());
        // CloudD sees the connection end.
        EXPECT_TRUE(read_until_closed(peer.get(), 5s));
        connection.reset();
        application.run_for(200ms);
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].error, boost::asio::error::operation_aborted);
    }
}

TEST_F(CloudDConnection, RequestCarriesTheEscapedUrlAndTheAddressesInSetOrder)
{
    nvs::address_set_t addresses{*nvs::parse_ip_address("fd00::1%3"), *nvs::parse_ip_address("192.0.2.9")};
    connection->check(nvs::url_t("http://Example.COM/a b", addresses), 0xFFFFFFFF,
                      [](const nvs::report_t&, const boost::system::error_code&) {});
    const cl::ClientMessage request = next_request();
    EXPECT_EQ(request.url().url(), nvs::url_t("http://Example.COM/a b").str(nvs::url_t::format_t::escaped));
    ASSERT_EQ(request.url().address_size(), 2);
    EXPECT_EQ(request.url().address(0), "192.0.2.9");
    EXPECT_EQ(request.url().address(1), "fd00::1%3");
}

}  // namespace
}  // namespace nv::test
