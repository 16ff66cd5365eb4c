#include <cstdint>
#include <limits>
#include <string>

#include <boost/lexical_cast/bad_lexical_cast.hpp>
#include <gtest/gtest.h>

#include "common/integer.h"

namespace nv {
namespace {

TEST(ParseInt32, Accepted)
{
    struct row_t {
        const char* text;
        std::int32_t value;
    };
    const row_t rows[] = {
        {"5", 5},
        {"+5", 5},
        {"-5", -5},
        {"0", 0},
        {"-0", 0},
        {"007", 7},
        {"2147483647", std::numeric_limits<std::int32_t>::max()},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
        {"+2147483647", std::numeric_limits<std::int32_t>::max()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parse_int32(row.text), row.value);
    }
}

TEST(ParseInt32, Refused)
{
    const char* rows[] = {
        "", " 5", "5 ", "5x", "0x5", "2147483648", "-2147483649", "+", "-", "+-5", "--5",
        "99999999999999999999999", "1,000", "５", "\t5", "5\n",
    };
    for (const char* text : rows) {
        SCOPED_TRACE(text);
        try {
            parse_int32(text);
            ADD_FAILURE() << "accepted";
        } catch (const boost::bad_lexical_cast& e) {
            EXPECT_STREQ(e.what(), "bad lexical cast: source type value could not be interpreted as target");
        }
    }
}

TEST(ParseInt32, StopsAtTheViewEnd)
{
    const std::string text = "12345";
    EXPECT_EQ(parse_int32(std::string_view(text).substr(0, 2)), 12);
}

}  // namespace
}  // namespace nv
