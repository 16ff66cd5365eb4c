// uc::configd_tie_t over a socket pair, with the test playing ConfigD: the
// configuration round, CloudD's address with shared waiters, application
// information, and which failures end the daemon how.
#include <gtest/gtest.h>

#include "common/exception.h"
#include "tests/support/fake_application.h"
#include "proto/configd_urlcheck_ipc.pb.h"
#include "tests/support/frames.h"

namespace nv::test {
namespace {

using to_configd_t = UrlCheck2ConfigdMessage;
using from_configd_t = Configd2UrlCheckMessage;

class ConfigdTie : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto [ours, theirs] = socket_pair();
        peer_ = std::move(ours);
        app_.configd_link = uc::configd_tie_t::create(app_, theirs.release());
        const std::optional<to_configd_t> first = receive();
        ASSERT_TRUE(first.has_value());
        ASSERT_EQ(first->tag(), to_configd_t::GET_CONFIG_REQUEST);
    }

    // Lets the link do its work, then reads what it sent.
    std::optional<to_configd_t> receive(std::chrono::milliseconds timeout = 2s)
    {
        EXPECT_EQ(app_.run_for(100ms), nullptr);
        return read_message<to_configd_t>(peer_.get(), timeout);
    }

    // Sends a message and runs the link; returns what left a handler.
    std::exception_ptr deliver(const from_configd_t& message)
    {
        write_message(peer_.get(), message);
        return app_.run_for(200ms);
    }

    uc::configd_tie_t& link() { return *app_.configd_link; }

    // The callback records (path, error) in calls.
    uc::configd_tie_t::socket_path_callback_t recorder(int id)
    {
        return [this, id](const std::string& path, const boost::system::error_code& error) {
            calls_.push_back({id, path, error});
        };
    }

    struct call_t {
        int id;
        std::string path;
        boost::system::error_code error;
    };

    fake_application_t app_;
    unique_fd_t peer_;
    std::vector<call_t> calls_;
};

from_configd_t cloudd_response(const std::optional<std::string>& path, std::optional<ErrorCode> error)
{
    from_configd_t message;
    message.set_tag(from_configd_t::GET_CLOUDD_RESPONSE);
    if (path)
        message.set_socket_path(*path);
    if (error)
        message.mutable_error()->set_code(*error);
    return message;
}

ErrorCode error_code_left(const std::exception_ptr& failure)
{
    try {
        if (failure)
            std::rethrow_exception(failure);
    } catch (ErrorCode code) {
        return code;
    } catch (...) {
        ADD_FAILURE() << "not an nv::ErrorCode";
    }
    return EC_OK;
}

TEST_F(ConfigdTie, AppliesTheConfigurationThenReportsStateWithItsRevision)
{
    app_.nvs_state = EC_NO_NVS_BASES;
    from_configd_t response;
    response.set_tag(from_configd_t::GET_CONFIG_RESPONSE);
    response.set_config_revision(42);
    response.mutable_config()->set_nvs_dir("/var/lib/nvs");
    ASSERT_EQ(deliver(response), nullptr);
    ASSERT_EQ(app_.applied.size(), 1u);
    EXPECT_EQ(app_.applied[0].nvs_dir(), "/var/lib/nvs");
    EXPECT_EQ(link().config_revision(), 42u);

    const std::optional<to_configd_t> info = receive();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->tag(), to_configd_t::MY_INFO_NOTIFICATION);
    EXPECT_EQ(info->config_revision(), 42u);
    EXPECT_EQ(info->info().nvs_state(), EC_NO_NVS_BASES);
}

TEST_F(ConfigdTie, WaitersForCloudDShareOneRequest)
{
    link().get_socket_path(APP_CLOUDD, recorder(1));
    link().get_socket_path(APP_CLOUDD, recorder(2));
    const std::optional<to_configd_t> request = receive();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->tag(), to_configd_t::GET_CLOUDD_REQUEST);
    EXPECT_EQ(request->ByteSizeLong(), 2u) << "only the tag";
    EXPECT_FALSE(receive(300ms).has_value()) << "a second request while one is outstanding";

    ASSERT_EQ(deliver(cloudd_response("/run/cloudd.sock", std::nullopt)), nullptr);
    ASSERT_EQ(calls_.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls_[i].id, i + 1);
        EXPECT_EQ(calls_[i].path, "/run/cloudd.sock");
        EXPECT_EQ(calls_[i].error, make_error_code(EC_OK));
    }

    link().get_socket_path(APP_CLOUDD, recorder(3));
    const std::optional<to_configd_t> again = receive();
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->tag(), to_configd_t::GET_CLOUDD_REQUEST);
}

TEST_F(ConfigdTie, ErrorAnswerGivesEveryWaiterAnEmptyPathAndTheCode)
{
    link().get_socket_path(APP_CLOUDD, recorder(1));
    link().get_socket_path(APP_CLOUDD, recorder(2));
    ASSERT_TRUE(receive().has_value());
    ASSERT_EQ(deliver(cloudd_response(std::nullopt, EC_NOT_READY)), nullptr);
    ASSERT_EQ(calls_.size(), 2u);
    for (const call_t& call : calls_) {
        EXPECT_EQ(call.path, "");
        EXPECT_EQ(call.error, make_error_code(EC_NOT_READY));
    }
}

TEST_F(ConfigdTie, WaiterThatAsksAgainStartsANewRound)
{
    link().get_socket_path(APP_CLOUDD, [this](const std::string&, const boost::system::error_code&) {
        link().get_socket_path(APP_CLOUDD, recorder(2));
    });
    ASSERT_TRUE(receive().has_value());
    ASSERT_EQ(deliver(cloudd_response(std::nullopt, EC_NOT_INSTALLED)), nullptr);
    EXPECT_TRUE(calls_.empty()) << "the new waiter waits for the next answer";
    const std::optional<to_configd_t> again = receive();
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->tag(), to_configd_t::GET_CLOUDD_REQUEST);
    ASSERT_EQ(deliver(cloudd_response("/run/c.sock", std::nullopt)), nullptr);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].path, "/run/c.sock");
}

TEST_F(ConfigdTie, EmptyApplicationInformationIsStillSignalled)
{
    std::vector<int> sizes;
    link().appinfo_signal.connect([&](const uc::configd_tie_t::appinfo_list_t& list) { sizes.push_back(list.size()); });
    from_configd_t notification;
    notification.set_tag(from_configd_t::APPINFO_NOTIFICATION);
    ASSERT_EQ(deliver(notification), nullptr);
    AppInfo& info = *notification.add_appinfo();
    info.set_app(APP_CONFIGD);
    info.set_pid(1);
    ASSERT_EQ(deliver(notification), nullptr);
    EXPECT_EQ(sizes, (std::vector<int>{0, 1}));
}

TEST_F(ConfigdTie, SystemErrorWhileApplyingEndsWithMonitorError)
{
    app_.apply_failure = [] { throw_system_error(make_error_code(EC_NAME_ALREADY_IN_USE), "bind"); };
    EXPECT_EQ(error_code_left(deliver([] {
                  from_configd_t response;
                  response.set_tag(from_configd_t::GET_CONFIG_RESPONSE);
                  response.set_config_revision(1);
                  response.mutable_config();
                  return response;
              }())),
              EC_MONITOR_IPC_ERROR);
}

TEST_F(ConfigdTie, OtherFailuresWhileApplyingPassUnchanged)
{
    app_.apply_failure = [] { throw EC_BAD_CONFIG; };
    from_configd_t response;
    response.set_tag(from_configd_t::GET_CONFIG_RESPONSE);
    response.set_config_revision(1);
    response.mutable_config();
    EXPECT_EQ(error_code_left(deliver(response)), EC_BAD_CONFIG);
}

}  // namespace
}  // namespace nv::test
