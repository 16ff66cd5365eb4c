// The daemon with use_cloud on, against the CloudD stand-in: the cloud's
// verdict wins, every way the cloud can fail sends the check to the
// databases, one connection is shared and closes when idle, and ConfigD is
// not pestered once it said CloudD is not installed.
#include <gtest/gtest.h>

#include "proto/root_appinfo.pb.h"
#include "tests/support/cloudd_stand_in.h"
#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

using tag_t = UrlCheck2ConfigdMessage;
using action_t = cloudd_stand_in_t::action_t;

const char* const gamble_source = "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\n";

std::vector<int> categories_of(const uc::UrlResult& result)
{
    return {result.categories().begin(), result.categories().end()};
}

class Cloud : public ::testing::Test {
protected:
    Cloud() : daemon(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}}), cloudd(daemon.dir() / "cloudd.sock")
    {
        daemon.config.set_use_cloud(true);
    }

    void SetUp() override
    {
        ASSERT_TRUE(daemon.start());
        client = daemon.connect();
    }

    void answer_socket_request(const std::string& path)
    {
        ASSERT_TRUE(daemon.configd().next(tag_t::GET_CLOUDD_REQUEST));
        Configd2UrlCheckMessage answer;
        answer.set_tag(Configd2UrlCheckMessage::GET_CLOUDD_RESPONSE);
        answer.set_socket_path(path);
        daemon.configd().send(answer);
    }

    void answer_not_installed()
    {
        ASSERT_TRUE(daemon.configd().next(tag_t::GET_CLOUDD_REQUEST));
        Configd2UrlCheckMessage answer;
        answer.set_tag(Configd2UrlCheckMessage::GET_CLOUDD_RESPONSE);
        answer.mutable_error()->set_code(EC_NOT_INSTALLED);
        daemon.configd().send(answer);
    }

    running_daemon_t daemon;
    cloudd_stand_in_t cloudd;
    unique_fd_t client;
};

TEST_F(Cloud, CloudVerdictWinsOverTheDatabases)
{
    // The databases know casino.example as gambling; CloudD says nothing.
    write_message(client.get(), url_request(1, "http://casino.example/"));
    answer_socket_request(cloudd.path());
    const auto answer = read_answer(client.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->url_result().error(), EC_OK);
    EXPECT_TRUE(answer->url_result().categories().empty());
    EXPECT_TRUE(daemon.wait_for_log("Debug: Check URL: http://casino.example/ - None (cloud)\n"));
    ASSERT_EQ(cloudd.requests().size(), 1u);
    EXPECT_EQ(cloudd.requests()[0].url, "http://casino.example/");
}

TEST_F(Cloud, AnswerIsCutToTheRequestedCategories)
{
    cloudd.set_default_rule({action_t::answer, {UC_ADULT_CONTENT, UC_GAMBLING}});
    write_message(client.get(), url_request(1, "http://both.example/", {UC_ADULT_CONTENT}));
    answer_socket_request(cloudd.path());
    const auto answer = read_answer(client.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(categories_of(answer->url_result()), std::vector<int>{UC_ADULT_CONTENT});
}

TEST_F(Cloud, AddressesTravelToCloudD)
{
    uc::ClientMessage request = url_request(1, "http://host.example/");
    request.mutable_addresses()->add_ip()->set_address("fd00::1%3");
    request.mutable_addresses()->add_ip()->set_address("192.0.2.7");
    write_message(client.get(), request);
    answer_socket_request(cloudd.path());
    ASSERT_TRUE(read_answer(client.get()));
    ASSERT_EQ(cloudd.requests().size(), 1u);
    EXPECT_EQ(cloudd.requests()[0].addresses, (std::vector<std::string>{"192.0.2.7", "fd00::1%3"}));
}

TEST_F(Cloud, EveryCloudFailureFallsBackToTheDatabases)
{
    struct row_t {
        const char* name;
        cloudd_stand_in_t::rule_t rule;
    };
    const std::vector<row_t> rows{
        {"error result", {action_t::answer, {UC_CHATS}, EC_UNEXPECTED_ERROR}},
        {"no serial", {action_t::no_serial, {UC_CHATS}, EC_OK, {}}},
        {"connection closed", {action_t::close, {}}},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        const std::string url = "http://casino.example/" + std::to_string(i);
        cloudd.set_rule(url, rows[i].rule);
        write_message(client.get(), url_request(static_cast<std::uint32_t>(i), url));
        // A failure that closes the connection makes the next check ask again.
        if (i == 0 || rows[i - 1].rule.action != action_t::answer)
            answer_socket_request(cloudd.path());
        const auto answer = read_answer(client.get());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->serial(), i);
        EXPECT_EQ(categories_of(answer->url_result()), std::vector<int>{UC_GAMBLING});
        EXPECT_TRUE(daemon.wait_for_log("Check URL: " + url + " - Gambling (nvs)\n"));
    }
    EXPECT_EQ(daemon.log_count("(cloud)"), 0);
    EXPECT_TRUE(daemon.wait_for_log("Check failed: rsp.has_serial()"));
    EXPECT_TRUE(daemon.wait_for_log(": Link disconnected\n"));
}

TEST_F(Cloud, RefusedConnectionFallsBackToTheDatabases)
{
    write_message(client.get(), url_request(1, "http://casino.example/"));
    answer_socket_request(daemon.dir() / "nobody-listens.sock");
    const auto answer = read_answer(client.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(categories_of(answer->url_result()), std::vector<int>{UC_GAMBLING});
    EXPECT_TRUE(daemon.wait_for_log("Error: CloudD: connect: "));
    EXPECT_TRUE(daemon.wait_for_log("Check URL: http://casino.example/ - Gambling (nvs)\n"));
}

TEST_F(Cloud, ChecksWithoutConnectionShareOneQueryAndOneConnect)
{
    write_message(client.get(), url_request(1, "http://a.example/"));
    write_message(client.get(), url_request(2, "http://b.example/"));
    answer_socket_request(cloudd.path());
    ASSERT_TRUE(read_answer(client.get()));
    ASSERT_TRUE(read_answer(client.get()));
    EXPECT_EQ(daemon.configd().count(tag_t::GET_CLOUDD_REQUEST, 1500ms), 0);
    EXPECT_EQ(cloudd.connections().size(), 1u);
    const auto requests = cloudd.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].serial, 0u);
    EXPECT_EQ(requests[1].serial, 1u);
}

TEST_F(Cloud, SerialsStartAtZeroAgainAfterAReconnect)
{
    cloudd.set_rule("http://closes.example/", {action_t::close, {}});
    write_message(client.get(), url_request(1, "http://a.example/"));
    answer_socket_request(cloudd.path());
    ASSERT_TRUE(read_answer(client.get()));
    ASSERT_TRUE(ask(client.get(), 2, "http://b.example/"));
    ASSERT_TRUE(ask(client.get(), 3, "http://closes.example/"));
    write_message(client.get(), url_request(4, "http://c.example/"));
    answer_socket_request(cloudd.path());
    ASSERT_TRUE(read_answer(client.get()));

    const auto requests = cloudd.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].connection, 1);
    EXPECT_EQ(requests[2].serial, 2u);
    EXPECT_EQ(requests[3].connection, 2);
    EXPECT_EQ(requests[3].serial, 0u);
}

TEST_F(Cloud, IdleConnectionClosesAfterTenToElevenSeconds)
{
    write_message(client.get(), url_request(1, "http://a.example/"));
    answer_socket_request(cloudd.path());
    ASSERT_TRUE(read_answer(client.get()));
    ASSERT_TRUE(cloudd.wait_for_close(1, 30s));
    const auto connection = cloudd.connections().at(0);
    ASSERT_TRUE(connection.last_answer && connection.closed);
    const auto idle = std::chrono::duration<double>(*connection.closed - *connection.last_answer).count();
    // Timer ticks may land late on a loaded machine; never early.
    EXPECT_GE(idle, 9.9);
    EXPECT_LE(idle, 13.0);
    // Closed silently; the next check connects again.
    EXPECT_EQ(daemon.log_count("CloudD 0x"), 0);
    write_message(client.get(), url_request(2, "http://b.example/"));
    answer_socket_request(cloudd.path());
    ASSERT_TRUE(read_answer(client.get()));
    EXPECT_EQ(cloudd.connections().size(), 2u);
}

TEST_F(Cloud, NotInstalledStopsTheQuestionsUntilConfigurationOrApplicationInformation)
{
    write_message(client.get(), url_request(1, "http://casino.example/"));
    answer_not_installed();
    auto answer = read_answer(client.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(categories_of(answer->url_result()), std::vector<int>{UC_GAMBLING});
    EXPECT_TRUE(daemon.wait_for_log("Error: CloudD: "));

    // Straight to the databases, ConfigD is not asked.
    ASSERT_TRUE(ask(client.get(), 2, "http://casino.example/"));
    EXPECT_EQ(daemon.configd().count(tag_t::GET_CLOUDD_REQUEST, 1000ms), 0);

    // Information that does not list CloudD changes nothing.
    Configd2UrlCheckMessage info;
    info.set_tag(Configd2UrlCheckMessage::APPINFO_NOTIFICATION);
    AppInfo& configd_info = *info.add_appinfo();
    configd_info.set_app(APP_CONFIGD);
    configd_info.set_pid(1);
    RootAppInfo& root = *configd_info.MutableExtension(root_info);
    root.set_config_mode(CONFIG_MODE_SPECIFIED);
    InstalledApp& other = *root.add_installed_app();
    other.set_app(APP_CONFIGD);
    other.set_exe_path("/opt/configd");
    other.set_install_time(1);
    other.set_ini_section("ConfigD");
    daemon.configd().send(info);
    ASSERT_TRUE(ask(client.get(), 3, "http://casino.example/"));
    EXPECT_EQ(daemon.configd().count(tag_t::GET_CLOUDD_REQUEST, 1000ms), 0);

    // ConfigD's own entry lists CloudD: the next cloud check asks again.
    InstalledApp& cloud = *root.add_installed_app();
    cloud = other;
    cloud.set_app(APP_CLOUDD);
    daemon.configd().send(info);
    write_message(client.get(), url_request(4, "http://casino.example/"));
    answer_not_installed();
    ASSERT_TRUE(read_answer(client.get()));

    // So does an applied configuration.
    daemon.configd().send_config(daemon.config, 2);
    write_message(client.get(), url_request(5, "http://casino.example/"));
    answer_socket_request(cloudd.path());
    answer = read_answer(client.get());
    ASSERT_TRUE(answer);
    EXPECT_TRUE(daemon.wait_for_log("Check URL: http://casino.example/ - None (cloud)\n"));
}

}  // namespace
}  // namespace nv::test
