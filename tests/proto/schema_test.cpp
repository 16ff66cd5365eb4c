// The wire schemas parse what peers send and keep what they do not know.
#include "proto/annotation.pb.h"
#include "proto/cloudd_client_ipc.pb.h"
#include "proto/configd_urlcheck_ipc.pb.h"
#include "proto/error.pb.h"
#include "proto/root_appinfo.pb.h"
#include "proto/urlcheck_appinfo.pb.h"
#include "proto/urlcheck_client_ipc.pb.h"

#include <gtest/gtest.h>

namespace {

// Appends a varint-encoded field to a serialised message.
void put_varint_field(std::string& out, int field, uint64_t value)
{
    uint64_t key = uint64_t(field) << 3;
    for (uint64_t v : {key, value}) {
        while (v >= 0x80) {
            out.push_back(char(v | 0x80));
            v >>= 7;
        }
        out.push_back(char(v));
    }
}

TEST(Schema, ClientMessageWithOnlyTagIsInitialised)
{
    std::string bytes;
    put_varint_field(bytes, 1, uc::ClientMessage::CHECK_URL_REQUEST);
    uc::ClientMessage m;
    ASSERT_TRUE(m.ParseFromString(bytes));
    EXPECT_TRUE(m.IsInitialized());
    EXPECT_FALSE(m.has_serial());
}

TEST(Schema, CloudAnswerWithoutSerialOrResultParses)
{
    std::string bytes;
    put_varint_field(bytes, 1, cl::ServerMessage::CHECK_URL_RESPONSE);
    cl::ServerMessage m;
    ASSERT_TRUE(m.ParseFromString(bytes));
    EXPECT_FALSE(m.has_serial());
    EXPECT_FALSE(m.has_url_result());
}

TEST(Schema, UndefinedCategoryGoesToUnknownFields)
{
    std::string bytes;
    put_varint_field(bytes, 1, uc::ClientMessage::CHECK_URL_REQUEST);
    put_varint_field(bytes, 6, 13);
    put_varint_field(bytes, 6, 18);
    put_varint_field(bytes, 6, 19);
    put_varint_field(bytes, 6, 20);
    uc::ClientMessage m;
    ASSERT_TRUE(m.ParseFromString(bytes));
    ASSERT_EQ(m.categories_size(), 2);
    EXPECT_EQ(m.categories(0), nv::UC_OWNERS_NOTICE);
    EXPECT_EQ(m.categories(1), nv::UC_BLACK_LIST);
    EXPECT_FALSE(m.GetReflection()->GetUnknownFields(m).empty());
}

TEST(Schema, MissingRequiredFieldFailsToParse)
{
    std::string bytes;
    put_varint_field(bytes, 2, 7); // serial without tag
    uc::ClientMessage m;
    EXPECT_FALSE(m.ParseFromString(bytes));
}

// Every number a peer may send in nv.ErrorCode or nv.Application must parse,
// otherwise one foreign value would make a whole message unreadable.
TEST(Schema, PeerErrorCodesAndApplicationsParse)
{
    for (int code = 40; code <= 123; ++code) {
        SCOPED_TRACE(code);
        EXPECT_TRUE(nv::ErrorCode_IsValid(code));
    }
    for (int app : {1, 2, 10, 20, 21, 40, 44, 45, 46, 50, 52, 60, 99, 100, 102, 104, 200, 203, 205, 206, 300, 400, 500}) {
        SCOPED_TRACE(app);
        EXPECT_TRUE(nv::Application_IsValid(app));
    }
    EXPECT_FALSE(nv::ErrorCode_IsValid(14));
    EXPECT_FALSE(nv::ErrorCode_IsValid(39));
}

TEST(Schema, ErrorTextsAndExtensionsAreThere)
{
    auto* value = nv::ErrorCode_descriptor()->FindValueByNumber(nv::EC_APP_TERMINATED);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->options().GetExtension(nv::lex), "Process terminated by signal");

    nv::Configd2UrlCheckMessage m;
    m.set_tag(nv::Configd2UrlCheckMessage::APPINFO_NOTIFICATION);
    auto* info = m.add_appinfo();
    info->set_app(nv::APP_CONFIGD);
    info->set_pid(1);
    auto* root = info->MutableExtension(nv::root_info);
    root->set_config_mode(nv::CONFIG_MODE_SPECIFIED);
    auto* installed = root->add_installed_app();
    installed->set_app(nv::APP_CLOUDD);
    installed->set_exe_path("/x");
    installed->set_install_time(1);
    installed->set_ini_section("CloudD");

    nv::Configd2UrlCheckMessage back;
    ASSERT_TRUE(back.ParseFromString(m.SerializeAsString()));
    ASSERT_EQ(back.appinfo_size(), 1);
    EXPECT_EQ(back.appinfo(0).GetExtension(nv::root_info).installed_app(0).app(), nv::APP_CLOUDD);
}

} // namespace
