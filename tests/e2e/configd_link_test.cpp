// The real daemon driven by a test ConfigD over a socket pair: start-up order,
// revisions, SIGHUP, SIGTERM, statistics, and every way a bad ConfigD ends it.
#include <signal.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_configd.h"

namespace nv::test {
namespace {

using tag_t = UrlCheck2ConfigdMessage;

TEST(ConfigdLink, FirstFrameIsABareConfigRequest)
{
    test_configd_t configd;
    UrlCheck2ConfigdMessage request;
    request.set_tag(tag_t::GET_CONFIG_REQUEST);
    std::string expected;
    ASSERT_TRUE(request.SerializeToString(&expected));

    const std::optional<std::string> first = read_frame(configd.socket(), 20s);
    ASSERT_TRUE(first.has_value()) << configd.daemon().err();
    EXPECT_EQ(*first, expected);
}

TEST(ConfigdLink, InfoNotificationCarriesTheRevisionOfTheAppliedConfiguration)
{
    test_configd_t configd;
    ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST));
    configd.send_config(test_configd_t::basic_config(), 17);
    const std::optional<UrlCheck2ConfigdMessage> info = configd.next(tag_t::MY_INFO_NOTIFICATION);
    ASSERT_TRUE(info.has_value()) << configd.daemon().err();
    EXPECT_EQ(info->config_revision(), 17u);
    ASSERT_TRUE(info->has_info());
    // Nothing has loaded databases yet.
    EXPECT_EQ(info->info().nvs_state(), EC_UNKNOWN_STATE);
}

TEST(ConfigdLink, EachSighupAsksForTheConfigurationOnce)
{
    test_configd_t configd;
    ASSERT_TRUE(configd.configure(test_configd_t::basic_config(), 1)) << configd.daemon().err();
    for (std::uint32_t revision = 2; revision <= 3; ++revision) {
        SCOPED_TRACE("revision " + std::to_string(revision));
        configd.daemon().send_signal(SIGHUP);
        ASSERT_TRUE(configd.next(tag_t::GET_CONFIG_REQUEST)) << configd.daemon().err();
        configd.send_config(test_configd_t::basic_config(), revision);
        const std::optional<UrlCheck2ConfigdMessage> info = configd.next_info(revision);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->config_revision(), revision);
        EXPECT_EQ(configd.count(tag_t::GET_CONFIG_REQUEST, 1500ms), 0);
    }
    EXPECT_TRUE(configd.daemon().wait_for_err("Notice: SIGHUP received, config will be ordered from ConfigD"));
}

TEST(ConfigdLink, SigtermEndsWithStatus107)
{
    test_configd_t configd;
    ASSERT_TRUE(configd.configure(test_configd_t::basic_config())) << configd.daemon().err();
    configd.daemon().send_signal(SIGTERM);
    const process_result_t result = configd.wait();
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 107);
    EXPECT_NE(result.err.find("Notice: Termination signal received, exiting...\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Notice: Exit with status 107 (Process terminated by signal)\n"), std::string::npos)
        << result.err;
}

TEST(ConfigdLink, StatisticsArriveEverySecond)
{
    test_configd_t configd;
    ASSERT_TRUE(configd.configure(test_configd_t::basic_config())) << configd.daemon().err();
    const std::optional<UrlCheck2ConfigdMessage> first = configd.next(tag_t::MY_STAT_NOTIFICATION, 5s);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(first->has_stat());
    EXPECT_EQ(first->stat().connections().base(), 0u);
    EXPECT_EQ(first->stat().connections().in(), 0u);
    EXPECT_EQ(first->stat().connections().out(), 0u);
    // About four in four seconds; the bounds leave room for a loaded machine.
    const int count = configd.count(tag_t::MY_STAT_NOTIFICATION, 4000ms);
    EXPECT_GE(count, 2);
    EXPECT_LE(count, 6);
}

TEST(ConfigdLink, StatisticsStartBeforeTheFirstConfiguration)
{
    test_configd_t configd;
    EXPECT_TRUE(configd.next(tag_t::MY_STAT_NOTIFICATION, 10s).has_value()) << configd.daemon().err();
}

// Something ConfigD does that must end the daemon with EC_MONITOR_IPC_ERROR.
struct bad_configd_case_t {
    const char* name;
    bool configure_first;
    std::function<void(test_configd_t&)> act;
    const char* expected_line;
};

Configd2UrlCheckMessage config_response_without_config()
{
    Configd2UrlCheckMessage message;
    message.set_tag(Configd2UrlCheckMessage::GET_CONFIG_RESPONSE);
    message.set_config_revision(4);
    return message;
}

Configd2UrlCheckMessage config_response_without_revision()
{
    Configd2UrlCheckMessage message;
    message.set_tag(Configd2UrlCheckMessage::GET_CONFIG_RESPONSE);
    *message.mutable_config() = test_configd_t::basic_config();
    return message;
}

Configd2UrlCheckMessage empty_cloudd_response()
{
    Configd2UrlCheckMessage message;
    message.set_tag(Configd2UrlCheckMessage::GET_CLOUDD_RESPONSE);
    return message;
}

TEST(ConfigdLink, BadConfigdEndsTheDaemonWithStatus1)
{
    const std::string length_zero("\0\0\0\0", 4);
    const std::string too_long("\x01\0\0\x04", 4);  // 0x4000001
    const bad_configd_case_t cases[] = {
        {"peer closes", true, [](test_configd_t& c) { c.shut_down_writing(); }, "Error: ConfigD: Link disconnected\n"},
        {"peer closes before configuring", false, [](test_configd_t& c) { c.shut_down_writing(); },
         "Error: ConfigD: Link disconnected\n"},
        // Unread notifications make the close a reset.
        {"peer closes abruptly", true, [](test_configd_t& c) { c.close_socket(); }, "Error: ConfigD: "},
        {"length 0", true, [&](test_configd_t& c) { c.send_raw(length_zero); },
         "Error: ConfigD: Invalid IPC message size\n"},
        {"length above 64 MiB", true, [&](test_configd_t& c) { c.send_raw(too_long); },
         "Error: ConfigD: Invalid IPC message size\n"},
        {"garbage message", true, [](test_configd_t& c) { c.send_raw(frame_bytes("\xff\xff\xff garbage")); },
         "Error: ConfigD: Invalid IPC message format"},
        {"message without tag", false, [](test_configd_t& c) { c.send_raw(frame_bytes(std::string("\x10\x05", 2))); },
         "Error: ConfigD: Invalid IPC message format"},
        {"response without config", true, [](test_configd_t& c) { c.send(config_response_without_config()); },
         "Error: ConfigD: GET_CONTEXT_RESPONSE: Protocol violation"},
        {"response without revision", false, [](test_configd_t& c) { c.send(config_response_without_revision()); },
         "Error: ConfigD: GET_CONTEXT_RESPONSE: Protocol violation"},
        {"CloudD answer without path or error", true, [](test_configd_t& c) { c.send(empty_cloudd_response()); },
         "Error: ConfigD: Protocol violation"},
    };
    for (const bad_configd_case_t& row : cases) {
        SCOPED_TRACE(row.name);
        test_configd_t configd;
        if (row.configure_first) {
            ASSERT_TRUE(configd.configure(test_configd_t::basic_config())) << configd.daemon().err();
        }
        row.act(configd);
        const process_result_t result = configd.wait();
        ASSERT_TRUE(result.exited) << describe(result);
        EXPECT_EQ(result.exit_status, 1) << result.err;
        EXPECT_NE(result.err.find(row.expected_line), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("Exit with status 1 (Error on monitor channel)"), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace nv::test
