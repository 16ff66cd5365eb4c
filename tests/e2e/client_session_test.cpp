// Client sessions of the real daemon: answers with their serials in finishing
// order, the categories asked for and the order they are listed in, the
// connection closed for every malformed request while others go on, and the
// session names in the log.
#include <gtest/gtest.h>

#include "proto/configd_urlcheck_ipc.pb.h"
#include "tests/support/cloudd_stand_in.h"
#include "tests/support/running_daemon.h"

namespace nv::test {
namespace {

using tag_t = UrlCheck2ConfigdMessage;

const char* const gamble_source =
    "name gamble\ndate 2026-01-15 12:00:00\nurl casino.example\nurl both.example\n";
const char* const black_list_source = "name black_list\ndate 2026-01-15 12:00:00\nurl both.example\n";

std::vector<int> categories_of(const uc::UrlResult& result)
{
    return {result.categories().begin(), result.categories().end()};
}

// Starts a daemon with cloud on whose CloudD is the stand-in, and answers
// ConfigD's first question for CloudD's socket.
struct cloud_daemon_t {
    cloud_daemon_t() : cloudd(daemon.dir() / "cloudd.sock")
    {
        daemon.config.set_use_cloud(true);
    }

    bool start()
    {
        if (!daemon.start())
            return false;
        client = daemon.connect();
        return true;
    }

    // Answers the GET_CLOUDD_REQUEST that the first cloud check causes.
    bool answer_socket_request()
    {
        if (!daemon.configd().next(tag_t::GET_CLOUDD_REQUEST))
            return false;
        Configd2UrlCheckMessage answer;
        answer.set_tag(Configd2UrlCheckMessage::GET_CLOUDD_RESPONSE);
        answer.set_socket_path(cloudd.path());
        daemon.configd().send(answer);
        return true;
    }

    running_daemon_t daemon;
    cloudd_stand_in_t cloudd;
    unique_fd_t client;
};

TEST(ClientSession, AnswersLeaveInFinishingOrderWithTheirOwnSerials)
{
    cloud_daemon_t setup;
    ASSERT_TRUE(setup.start());
    setup.cloudd.set_default_rule({cloudd_stand_in_t::action_t::hold, {UC_GAMBLING}});
    setup.cloudd.set_rule("http://second.example/", {cloudd_stand_in_t::action_t::hold, {UC_CHATS}});

    write_message(setup.client.get(), url_request(7, "http://first.example/"));
    write_message(setup.client.get(), url_request(8, "http://second.example/"));
    ASSERT_TRUE(setup.answer_socket_request());
    ASSERT_TRUE(setup.cloudd.wait_for_requests(2));
    // CloudD answers the later request first.
    setup.cloudd.release_held();

    const auto first = read_answer(setup.client.get());
    const auto second = read_answer(setup.client.get());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->serial(), 8u);
    EXPECT_EQ(categories_of(first->url_result()), std::vector<int>{UC_CHATS});
    EXPECT_EQ(second->serial(), 7u);
    EXPECT_EQ(categories_of(second->url_result()), std::vector<int>{UC_GAMBLING});
}

TEST(ClientSession, CategoriesAreListedInTheFixedOrder)
{
    // CloudD lists them in any order; the client always gets 1 to 12, 14, 15,
    // 16, 13, 20, 17.
    struct row_t {
        std::vector<UrlCategory> found;
        std::vector<int> answered;
    };
    const std::vector<row_t> rows{
        {{UC_OWNERS_NOTICE, UC_JOBS, UC_NOT_RECOMMENDED}, {2, 13, 17}},
        {{UC_INFECTION_SOURCE, UC_OWNERS_NOTICE, UC_ONLINE_GAMES}, {1, 14, 13}},
        {{UC_JOBS, UC_BLACK_LIST, UC_CRYPTOCURRENCY_MINING_POOLS}, {16, 20, 17}},
    };
    cloud_daemon_t setup;
    ASSERT_TRUE(setup.start());
    for (std::size_t i = 0; i < rows.size(); ++i)
        setup.cloudd.set_rule("http://row" + std::to_string(i) + ".example/",
                              {cloudd_stand_in_t::action_t::answer, rows[i].found});
    write_message(setup.client.get(), url_request(0, "http://row0.example/"));
    ASSERT_TRUE(setup.answer_socket_request());
    for (std::uint32_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        if (i > 0)
            write_message(setup.client.get(), url_request(i, "http://row" + std::to_string(i) + ".example/"));
        const auto answer = read_answer(setup.client.get());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->serial(), i);
        EXPECT_EQ(categories_of(answer->url_result()), rows[i].answered);
    }
}

TEST(ClientSession, RawUrlWinsAndTheRequestedCategoriesAreTheMask)
{
    running_daemon_t daemon(running_daemon_t::databases_t{{"gamble.nvs", gamble_source}, {"black_list.nvs", black_list_source}});
    ASSERT_TRUE(daemon.start());
    const unique_fd_t client = daemon.connect();

    // raw_url and decoded_url both set: the raw one is checked.
    uc::ClientMessage both = url_request(1, "http://casino.example/");
    both.mutable_decoded_url()->set_host("both.example");
    both.mutable_decoded_url()->set_path("/");
    write_message(client.get(), both);
    auto answer = read_answer(client.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(categories_of(answer->url_result()), std::vector<int>{UC_GAMBLING});

    // decoded_url alone is checked as given.
    uc::ClientMessage decoded;
    decoded.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
    decoded.set_serial(2);
    decoded.mutable_decoded_url()->set_host("both.example");
    decoded.mutable_decoded_url()->set_path("/");
    write_message(client.get(), decoded);
    answer = read_answer(client.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(categories_of(answer->url_result()), (std::vector<int>{UC_GAMBLING, UC_BLACK_LIST}));

    const auto all = ask(client.get(), 3, "http://both.example/x");
    ASSERT_TRUE(all);
    EXPECT_EQ(all->error(), EC_OK);
    EXPECT_EQ(categories_of(*all), (std::vector<int>{UC_GAMBLING, UC_BLACK_LIST}));
    const auto black = ask(client.get(), 4, "http://both.example/x", {UC_BLACK_LIST});
    ASSERT_TRUE(black);
    EXPECT_EQ(categories_of(*black), std::vector<int>{UC_BLACK_LIST});
    const auto adult = ask(client.get(), 5, "http://both.example/x", {UC_ADULT_CONTENT});
    ASSERT_TRUE(adult);
    EXPECT_TRUE(adult->categories().empty());
    EXPECT_TRUE(daemon.wait_for_log("Check URL: http://both.example/x - Gambling, Black list (nvs)\n"));
}

TEST(ClientSession, EveryMalformedRequestClosesOnlyItsConnection)
{
    struct row_t {
        const char* name;
        std::string bytes;  // what the client writes
        const char* warning;
    };
    uc::ClientMessage no_serial = url_request(1, "http://a.example/");
    no_serial.clear_serial();
    uc::ClientMessage no_url = url_request(1, "http://a.example/");
    no_url.clear_raw_url();
    uc::ClientMessage bad_address = url_request(1, "http://a.example/");
    bad_address.mutable_addresses()->add_ip()->set_address("300.1.2.3");
    const std::vector<row_t> rows{
        {"no serial", frame_bytes(no_serial.SerializePartialAsString()), "CHECK_URL_REQUEST"},
        {"no URL", frame_bytes(no_url.SerializePartialAsString()), "CHECK_URL_REQUEST"},
        {"bytes that do not parse", frame_bytes("\xff\xff\xff\xff"), "Invalid IPC message format"},
        {"invalid address", frame_bytes(bad_address.SerializeAsString()), "Invalid argument"},
        {"length 0", std::string(4, '\0'), "Invalid IPC message size"},
    };

    running_daemon_t daemon;
    ASSERT_TRUE(daemon.start());
    const unique_fd_t bystander = daemon.connect();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        const unique_fd_t client = daemon.connect();
        write_bytes(client.get(), rows[i].bytes);
        // Closed without an answer.
        const std::optional<std::string> rest = read_until_closed(client.get());
        ASSERT_TRUE(rest);
        EXPECT_EQ(*rest, "");
        // The session numbers: the bystander is 0x1.
        const std::string name = "Client 0x" + std::to_string(i + 2);
        EXPECT_TRUE(daemon.wait_for_log("Warning: " + name + ": ")) << daemon.process().err();
        const std::string& log = daemon.process().err();
        const std::size_t line = log.find("Warning: " + name + ": ");
        ASSERT_NE(line, std::string::npos);
        EXPECT_NE(log.substr(line, log.find('\n', line) - line).find(rows[i].warning), std::string::npos)
            << log.substr(line, log.find('\n', line) - line);

        const auto answer = ask(bystander.get(), static_cast<std::uint32_t>(i), "http://still.example/");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->error(), EC_NO_NVS_BASES);
    }
    EXPECT_TRUE(daemon.process().running());
}

TEST(ClientSession, SessionsAreNamedBySequenceNumberInHexadecimal)
{
    running_daemon_t daemon;
    ASSERT_TRUE(daemon.start());
    for (int i = 1; i <= 16; ++i) {
        const unique_fd_t client = daemon.connect();
        ASSERT_TRUE(ask(client.get(), 1, "http://a.example/"));
    }
    for (const char* name : {"Client 0x1: Created", "Client 0x9: Created", "Client 0xa: Created",
                             "Client 0xf: Created", "Client 0x10: Created", "Client 0x10: Disconnected"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(daemon.wait_for_log(name));
    }
    EXPECT_TRUE(daemon.wait_for_log("Client 0x10: Destroyed"));
    EXPECT_EQ(daemon.log_count("Client 0x11"), 0);
}

TEST(ClientSession, ResultsOfAClientThatLeftAreDropped)
{
    cloud_daemon_t setup;
    ASSERT_TRUE(setup.start());
    setup.cloudd.set_default_rule({cloudd_stand_in_t::action_t::hold, {UC_GAMBLING}});
    write_message(setup.client.get(), url_request(1, "http://late.example/"));
    ASSERT_TRUE(setup.answer_socket_request());
    ASSERT_TRUE(setup.cloudd.wait_for_requests(1));
    setup.client.reset();
    EXPECT_TRUE(setup.daemon.wait_for_log("Client 0x1: Disconnected\n"));
    EXPECT_TRUE(setup.daemon.wait_for_log("Client 0x1: Destroyed\n"));
    setup.cloudd.release_held();
    EXPECT_TRUE(setup.daemon.wait_for_log("Check URL: http://late.example/ - Gambling (cloud)\n"));
    // Still serving.
    setup.cloudd.set_default_rule({});
    const unique_fd_t other = setup.daemon.connect();
    const auto answer = ask(other.get(), 2, "http://next.example/");
    ASSERT_TRUE(answer);
    EXPECT_EQ(setup.daemon.log_count("Client 0x1: <-- CHECK_URL_RESPONSE"), 0);
}

}  // namespace
}  // namespace nv::test
