#pragma once
// The walk of the record runs of section types 4 and 5 for one URL; the
// section reader's find forwards here.

#include "nvs/index/context.h"
#include "nvs/index/url_section.h"

namespace nv::nvs::index {

// Type is 4 (urls) or 5 (urls_with_params); instantiated for both.
// `run_pairs`, when given, holds for each run the index of its (level, depth)
// pair among `pairs`, under which the context keeps its host key.
template <int Type>
match_t find_url_records(const content_t& content, const url_t::run_list_t& runs, context_t& context,
                         const std::uint32_t* run_pairs = nullptr, const host_pair_t* pairs = nullptr);

} // namespace nv::nvs::index
