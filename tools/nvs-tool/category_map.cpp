#include "tools/nvs-tool/category_map.h"

#include "tools/nvs-tool/source_reader.h"

#include "nvs/index/category.h"

#include <algorithm>
#include <set>

namespace nvs_tool {

namespace {

// UT1 folder names on the left. Folders without a counterpart among our
// categories (hacking, ddos, redirector, mixed_adult, ...) are left out and
// reported as skipped by the import.
constexpr std::string_view default_map = R"(# UT1 folder        category
adult               porno
agressif            violence
chat                chats
cryptojacking       miners
drogue              drugs
gambling            gamble
games               online_games
jobsearch           headhunters
malware             malware
phishing            social_engineering
social_networks     socialnetwork
vpn                 anonymizer
warez               piracy
webmail             e-mail
# UT1's allow-list: a whitelist for every category above.
liste_blanche       whitelist
)";

constexpr std::string_view whitelist_prefix = "whitelist_";

bool known_category(std::string_view name)
{
    return nv::nvs::category_of_name(name) != nv::nvs::category_unspecified || name == "unspecified";
}

} // namespace

const std::vector<std::string>& category_map_t::databases_of(const std::string& folder) const
{
    static const std::vector<std::string> none;
    const auto it = folders.find(folder);
    return it == folders.end() ? none : it->second;
}

std::string_view default_category_map_text() { return default_map; }

category_map_t parse_category_map(const std::string& path, std::string_view text)
{
    category_map_t map;
    std::vector<std::string> whitelist_folders;
    std::set<std::string> categories;
    unsigned line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const auto fail = [&](const std::string& what) {
            throw source_error_t(path + ":" + std::to_string(line_number) + ": " + what);
        };
        std::vector<std::string_view> words;
        for (std::size_t at = line.find_first_not_of(blanks); at != std::string_view::npos;
             at = line.find_first_not_of(blanks, at)) {
            const auto stop = std::min(line.find_first_of(blanks, at), line.size());
            words.push_back(line.substr(at, stop - at));
            at = stop;
        }
        if (!words.empty() && words.back().ends_with('\r'))
            words.back().remove_suffix(1);
        if (words.empty() || words[0].starts_with('#'))
            continue;
        if (words.size() != 2)
            fail("expected \"FOLDER CATEGORY\"");
        const std::string folder(words[0]);
        const std::string_view target = words[1];
        if (folder.find('/') != std::string::npos || folder == "." || folder == "..")
            fail("a folder is named without a path: \"" + folder + "\"");
        if (target == "whitelist") {
            whitelist_folders.push_back(folder);
        } else {
            const std::string_view category = target.starts_with(whitelist_prefix)
                ? target.substr(whitelist_prefix.size()) : target;
            if (!known_category(category))
                fail("unknown category \"" + std::string(category) + "\"");
            if (!target.starts_with(whitelist_prefix))
                categories.emplace(category);
        }
        auto& databases = map.folders[folder];
        if (target != "whitelist") {
            if (std::find(databases.begin(), databases.end(), target) != databases.end())
                fail("\"" + folder + " " + std::string(target) + "\" is given twice");
            databases.emplace_back(target);
        }
    }
    // Resolved at the end so that the categories may follow the allow-list line.
    for (const auto& folder : whitelist_folders)
        for (const auto& category : categories) {
            auto& databases = map.folders[folder];
            const std::string name = std::string(whitelist_prefix) + category;
            if (std::find(databases.begin(), databases.end(), name) == databases.end())
                databases.push_back(name);
        }
    for (const auto& folder : whitelist_folders)
        if (map.folders[folder].empty())
            throw source_error_t(path + ": \"" + folder + " whitelist\" but no category is mapped");
    return map;
}

category_map_t read_category_map(const std::string& path)
{
    return parse_category_map(path, read_file(path));
}

} // namespace nvs_tool
