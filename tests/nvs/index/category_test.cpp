#include "nvs/index/category.h"

#include <gtest/gtest.h>

namespace nv::nvs {
namespace {

TEST(Category, ListOrderOfEveryReportableBit)
{
    const auto values = url_categories_of(0xFFFFFFFFu);
    std::vector<int> numbers;
    for (const auto v : values)
        numbers.push_back(int(v));
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 15, 16, 13, 20, 17}));
    EXPECT_TRUE(url_categories_of(category_unspecified).empty());
    EXPECT_TRUE(url_categories_of(0).empty());
}

TEST(Category, NamesBitsAndWireValues)
{
    const struct {
        const char* name;
        unsigned bit;
        int value; // 0: none
    } rows[] = {
        {"malware", 0, 1},       {"social_engineering", 1, 2}, {"porno", 2, 3},       {"violence", 3, 4},
        {"weapon", 4, 5},        {"gamble", 5, 6},             {"drugs", 6, 7},       {"obscenity", 7, 8},
        {"chats", 8, 9},         {"terrorism", 9, 10},         {"e-mail", 10, 11},    {"socialnetwork", 11, 12},
        {"piracy", 12, 13},      {"online_games", 13, 14},     {"anonymizer", 14, 15}, {"miners", 15, 16},
        {"headhunters", 16, 17}, {"black_list", 29, 20},       {"unspecified", 30, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const category_set_t bit = category_set_t(1) << row.bit;
        EXPECT_EQ(category_of_name(row.name), bit);
        EXPECT_EQ(name_of_category(bit), std::string_view(row.name));
        if (row.value) {
            EXPECT_EQ(url_category_of(bit), nv::UrlCategory(row.value));
            EXPECT_EQ(category_of_url_category(nv::UrlCategory(row.value)), bit);
        } else {
            EXPECT_FALSE(url_category_of(bit));
        }
    }
    for (const char* other : {"Malware", "gamble ", "", "whitelist_gamble", "black-list"})
        EXPECT_EQ(category_of_name(other), category_unspecified) << other;
    EXPECT_EQ(all_categories(), 0x2001FFFFu);
}

} // namespace
} // namespace nv::nvs
