// The URL of a client's check request: raw or decoded, with the client's addresses.
#include "nvs/url/request.h"

#include "proto/urlcheck_client_ipc.pb.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

namespace nv::nvs {
namespace {

using format_t = url_t::format_t;

uc::ClientMessage request_with(std::initializer_list<const char*> addresses)
{
    uc::ClientMessage request;
    request.set_tag(uc::ClientMessage::CHECK_URL_REQUEST);
    request.set_serial(1);
    for (const char* a : addresses)
        request.mutable_addresses()->add_ip()->set_address(a);
    return request;
}

TEST(request_url, decoded_parts_are_taken_as_sent)
{
    uc::DecodedUrl decoded;
    decoded.set_host("H.B");
    decoded.set_path("a b");
    url_t url = url_from_decoded(decoded);
    EXPECT_EQ(url.host(), "H.B");
    EXPECT_EQ(url.path(), "a b");
    EXPECT_EQ(url.scheme(), "");
    EXPECT_EQ(url.port(), std::nullopt);
    EXPECT_TRUE(url.parameters().empty());
    EXPECT_EQ(url.str(format_t::escaped), "H.Ba%20b");
    EXPECT_EQ(url.str(format_t::plain), "H.Ba b");
}

TEST(request_url, decoded_parts_are_neither_decoded_nor_converted)
{
    uc::DecodedUrl decoded;
    decoded.set_host("XN--BCHER-KVA.b");
    decoded.set_path("/a%20b+c");
    auto* p = decoded.add_parameters();
    p->set_name("n+1");
    p->set_value("%41");
    decoded.add_parameters()->set_name("flag");
    url_t url = url_from_decoded(decoded);
    EXPECT_EQ(url.host(), "XN--BCHER-KVA.b");
    EXPECT_EQ(url.path(), "/a%20b+c");
    ASSERT_EQ(url.parameters().size(), 2u);
    EXPECT_EQ(url.parameters()[0], (parameter_t{"n+1", "%41"}));
    EXPECT_EQ(url.parameters()[1], (parameter_t{"flag", ""}));
    EXPECT_EQ(url.str(format_t::plain), "XN--BCHER-KVA.b/a%20b+c?n+1=%41&flag");
    EXPECT_EQ(url.str(format_t::escaped), "XN--BCHER-KVA.b/a%2520b+c?n+1=%2541&flag");
}

TEST(request_url, decoded_without_host)
{
    uc::DecodedUrl decoded;
    decoded.set_path("/x");
    EXPECT_EQ(url_from_decoded(decoded).str(format_t::escaped), "/x");
}

TEST(request_url, raw_url_wins)
{
    auto request = request_with({});
    request.set_raw_url("http://XN--BCHER-KVA.b/a%20b");
    request.mutable_decoded_url()->set_host("other");
    request.mutable_decoded_url()->set_path("/other");
    auto url = make_request_url(request);
    EXPECT_EQ(url->host(), "xn--bcher-kva.b");
    EXPECT_EQ(url->path(), "/a b");
}

TEST(request_url, decoded_url_without_raw_url)
{
    auto request = request_with({"::1"});
    request.mutable_decoded_url()->set_host("H.B");
    request.mutable_decoded_url()->set_path("a b");
    auto url = make_request_url(request);
    EXPECT_EQ(url->str(format_t::escaped), "H.Ba%20b");
    EXPECT_EQ(url->addresses().size(), 1u);
}

TEST(request_url, addresses_collapse_and_ipv4_comes_first)
{
    auto request = request_with({"10.0.0.1", "::1", "10.0.0.1"});
    request.set_raw_url("http://h.b/");
    auto url = make_request_url(request);
    ASSERT_EQ(url->addresses().size(), 2u);
    EXPECT_EQ(url->addresses().begin()->to_string(), "10.0.0.1");
    EXPECT_EQ(std::next(url->addresses().begin())->to_string(), "::1");
}

TEST(request_url, scopes_by_number_and_by_interface_name)
{
    auto request = request_with({"fe80::1%lo", "fe80::2%1"});
    request.set_raw_url("h");
    auto url = make_request_url(request);
    ASSERT_EQ(url->addresses().size(), 2u);
    EXPECT_NE(url->addresses().begin()->scope_id(), 0u);
    EXPECT_EQ(std::next(url->addresses().begin())->scope_id(), 1u);
}

TEST(request_url, an_invalid_address_fails_the_request)
{
    for (const char* bad : {"h.b", "10.0.0.256", "::1%no-such-interface0", ""}) {
        SCOPED_TRACE(bad);
        auto request = request_with({"10.0.0.1", bad});
        request.set_raw_url("http://h.b/");
        try {
            make_request_url(request);
            ADD_FAILURE() << "no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), boost::system::errc::invalid_argument);
            EXPECT_EQ(e.code().category(), boost::system::generic_category());
        }
    }
}

} // namespace
} // namespace nv::nvs
