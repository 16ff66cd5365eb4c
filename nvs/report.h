#pragma once
// The verdict of one URL check: the categories it was found in and, for an
// owner's notice, the legal alternative URL.

#include "nvs/index/category.h"

#include <string>

namespace nv::nvs {

struct report_t {
    category_set_t categories = 0; // category bits; 0 when found nowhere
    std::string legal_url;         // from a piracy database's notice; empty for none

    friend bool operator==(const report_t&, const report_t&) = default;
};

} // namespace nv::nvs
