#pragma once
// The check of one URL against the databases of a directory, shared by the
// engine's worker and by nvs-tool so that both give the same verdict.

#include "nvs/file_set.h"
#include "nvs/report.h"

namespace nv::nvs {

class url_t;

// For every category bit of the map that is in the mask, in ascending order:
// the whitelists of the category and, when none of them matches, its category
// databases; a category database match adds the bit. A whitelist match
// suppresses its own category only. The legal URL is that of the matching
// piracy database; a match in a category examined later does not erase it.
// One lookup context serves the whole check, so each key is hashed once.
report_t check_url(const category_map_t& map, const url_t& url, category_set_t mask);

} // namespace nv::nvs
