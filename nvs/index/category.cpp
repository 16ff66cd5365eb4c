#include "nvs/index/category.h"

#include <array>
#include <map>
#include <string>

namespace nv::nvs {

namespace {

struct row_t {
    std::string_view name;
    unsigned bit;
    std::optional<nv::UrlCategory> value;
};

// In the fixed list order of wire values; "unspecified" last, without a value.
const std::array<row_t, 19>& rows()
{
    static const std::array<row_t, 19> table{{
        {"malware", 0, nv::UC_INFECTION_SOURCE},
        {"social_engineering", 1, nv::UC_NOT_RECOMMENDED},
        {"porno", 2, nv::UC_ADULT_CONTENT},
        {"violence", 3, nv::UC_VIOLENCE},
        {"weapon", 4, nv::UC_WEAPONS},
        {"gamble", 5, nv::UC_GAMBLING},
        {"drugs", 6, nv::UC_DRUGS},
        {"obscenity", 7, nv::UC_OBSCENE_LANGUAGE},
        {"chats", 8, nv::UC_CHATS},
        {"terrorism", 9, nv::UC_TERRORISM},
        {"e-mail", 10, nv::UC_FREE_EMAIL},
        {"socialnetwork", 11, nv::UC_SOCIAL_NETWORKS},
        {"online_games", 13, nv::UC_ONLINE_GAMES},
        {"anonymizer", 14, nv::UC_ANONYMIZERS},
        {"miners", 15, nv::UC_CRYPTOCURRENCY_MINING_POOLS},
        {"piracy", 12, nv::UC_OWNERS_NOTICE},
        {"black_list", 29, nv::UC_BLACK_LIST},
        {"headhunters", 16, nv::UC_JOBS},
        {"unspecified", 30, std::nullopt},
    }};
    return table;
}

} // namespace

category_set_t category_of_name(std::string_view name)
{
    // Built once per process on first use and shared read-only afterwards.
    static const std::map<std::string, category_set_t, std::less<>> by_name = [] {
        std::map<std::string, category_set_t, std::less<>> m;
        for (const auto& row : rows())
            m.emplace(std::string(row.name), category_set_t(1) << row.bit);
        return m;
    }();
    const auto it = by_name.find(name);
    return it == by_name.end() ? category_unspecified : it->second;
}

std::optional<std::string_view> name_of_category(category_set_t bit)
{
    for (const auto& row : rows())
        if ((category_set_t(1) << row.bit) == bit)
            return row.name;
    return std::nullopt;
}

std::optional<nv::UrlCategory> url_category_of(category_set_t bit)
{
    for (const auto& row : rows())
        if ((category_set_t(1) << row.bit) == bit)
            return row.value;
    return std::nullopt;
}

category_set_t category_of_url_category(nv::UrlCategory value)
{
    for (const auto& row : rows())
        if (row.value == value)
            return category_set_t(1) << row.bit;
    return 0;
}

std::vector<nv::UrlCategory> url_categories_of(category_set_t set)
{
    std::vector<nv::UrlCategory> values;
    for (const auto& row : rows())
        if (row.value && (set & (category_set_t(1) << row.bit)))
            values.push_back(*row.value);
    return values;
}

category_set_t all_categories()
{
    category_set_t set = 0;
    for (const auto& row : rows())
        if (row.value)
            set |= category_set_t(1) << row.bit;
    return set;
}

} // namespace nv::nvs
