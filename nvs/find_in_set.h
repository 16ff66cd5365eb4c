#pragma once
// The lookup of a URL in a set of databases, and the per-category walk of one
// check built on it.

#include "nvs/file_set.h"
#include "nvs/index/context.h"
#include "nvs/report.h"

#include <memory>
#include <string>
#include <vector>

namespace nv::nvs {

// The match of the first database of the set, in set order, that matches.
// On a match, `legal_url` is set: to the notice's legal URL when the database
// is a piracy category database (not a whitelist), otherwise to the empty
// string; without a match it is left as it was. Callers that must keep a
// legal URL across several calls pass a fresh string to each. `matched`, when
// given, receives the matching database (left as it was without a match).
index::match_t find_in_set(index::context_t& context, const file_set_t& set, std::string& legal_url,
                           std::shared_ptr<const file_t>* matched = nullptr);

// file_t::find over a database of the plan, its host keys found in the context
// by the plan's pair numbers: the same match. `keys` is the plan's entry for
// the database.
index::match_t find_in_file(const file_t& file, index::context_t& context, const walk_plan_t& plan,
                            const walk_plan_t::file_keys_t& keys);

// What decided one category of a check: the database and record that matched,
// in a whitelist (the category was suppressed) or a category database.
struct decision_t {
    category_set_t category = 0;
    std::shared_ptr<const file_t> file;
    std::uint32_t record_offset = 0;
    bool whitelist = false;
};

// For every category bit of the map that is in the mask, in ascending order:
// the whitelists of the category and, when none matches, its category
// databases; a category database match adds the bit, a whitelist match
// suppresses that category only. The legal URL is the one of a piracy
// database match and is kept when a category examined later also matches.
// `decisions`, when given, receives one entry per category matched or
// suppressed, in the order examined.
report_t check_categories(index::context_t& context, const category_map_t& map, category_set_t mask,
                          std::vector<decision_t>* decisions = nullptr);

// The same walk over a plan made from the map: the same report and decisions,
// at less cost per check. What the engine uses. With a key filter in the
// context, the host keys the plan's databases search are hashed and probed
// up front, and a database is entered only when one of its keys passed the
// filter or it has something else to search for the URL.
report_t check_categories(index::context_t& context, const walk_plan_t& plan, category_set_t mask,
                          std::vector<decision_t>* decisions = nullptr);

} // namespace nv::nvs
