// The MD5 of the lookup keys: the test suite of RFC 1321, and the same digest
// as OpenSSL's for every length around the block and padding boundaries,
// whatever way the input is cut into updates.
#include "nvs/index/keys.h"
#include "nvs/index/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace nv::nvs::index {
namespace {

std::string hex(const md5_key_t& key)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto b : key) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

md5_key_t openssl_md5(const std::vector<std::uint8_t>& data)
{
    md5_key_t key{};
    unsigned size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), key.data(), &size, EVP_md5(), nullptr), 1);
    return key;
}

TEST(Md5, Rfc1321TestSuite)
{
    const struct {
        const char* text;
        const char* digest;
    } rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(hex(md5_of(row.text)), row.digest);
    }
}

TEST(Md5, SameAsOpenSslForEveryLengthAndCut)
{
    std::mt19937 rng(7);
    for (std::size_t length = 0; length <= 300; ++length) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data)
            b = std::uint8_t(rng());
        const md5_key_t expected = openssl_md5(data);
        for (std::size_t cut = 0; cut <= length; cut += 1 + length / 7) {
            SCOPED_TRACE(testing::Message() << "length " << length << " cut at " << cut);
            ASSERT_EQ(md5_of(std::span(data).first(cut), std::span(data).subspan(cut)), expected);
            // Many small updates, some of them empty.
            md5_t md5;
            for (std::size_t at = 0; at < length;) {
                const std::size_t n = std::min<std::size_t>(rng() % 70, length - at);
                md5.update(data.data() + at, n);
                at += n;
            }
            ASSERT_EQ(md5.finish(), expected);
        }
    }
}

} // namespace
} // namespace nv::nvs::index
