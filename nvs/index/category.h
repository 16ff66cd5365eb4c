#pragma once
// Category bits: one bit per web-resource category, as carried throughout the
// daemon, with the conversions to and from the wire enumeration nv::UrlCategory.

#include "proto/url_category.pb.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace nv::nvs {

using category_set_t = std::uint32_t;

inline constexpr category_set_t category_piracy = 1u << 12;
inline constexpr category_set_t category_black_list = 1u << 29;
inline constexpr category_set_t category_unspecified = 1u << 30;

// The bit value of a database category name (exact, case-sensitive); a name
// not in the table gives category_unspecified.
category_set_t category_of_name(std::string_view name);

// The database category name of a single bit, or nothing for a bit no name has.
std::optional<std::string_view> name_of_category(category_set_t bit);

// The wire value of a single bit; nothing for "unspecified" and unknown bits.
std::optional<nv::UrlCategory> url_category_of(category_set_t bit);

// The bit of a wire value; 0 for a value without a bit.
category_set_t category_of_url_category(nv::UrlCategory value);

// The wire values of a bit set in the fixed list order.
std::vector<nv::UrlCategory> url_categories_of(category_set_t set);

// Every bit that stands for a reportable category (all bits with a wire value).
category_set_t all_categories();

} // namespace nv::nvs
