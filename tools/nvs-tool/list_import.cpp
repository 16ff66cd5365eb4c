#include "tools/nvs-tool/list_import.h"

#include <algorithm>

namespace nvs_tool {

namespace {

// An entry as the list gives it, or why it cannot be stored.
struct translation_t {
    std::string refusal;
    bool params = false;
    bool fragment_dropped = false;
    std::string_view target;
    std::string_view query;
};

translation_t translate(std::string_view entry, list_kind_t kind)
{
    translation_t t;
    if (entry.find_first_of(blanks) != std::string_view::npos) {
        t.refusal = "holds a blank (a list entry is one word)";
        return t;
    }
    if (kind == list_kind_t::domains) {
        if (entry.find_first_of("/?#@:") != std::string_view::npos)
            t.refusal = "a domain entry is a host name alone";
        t.target = entry;
        return t;
    }
    // A browser never sends the fragment: the page requested is the one
    // before it, and that is what the entry is stored as.
    if (const auto hash = entry.find('#'); hash != std::string_view::npos) {
        entry = entry.substr(0, hash);
        t.fragment_dropped = true;
    }
    const auto question = entry.find('?');
    t.target = entry.substr(0, question);
    if (question != std::string_view::npos)
        t.query = entry.substr(question + 1);
    if (t.target.empty() || t.target.front() == '/') {
        t.refusal = "no host";
        return t;
    }
    // Every path starts with "/", so "host/" covers the whole host; written
    // with depth 0 it also matches the host's URLs with an empty path.
    if (t.target.find('/') == t.target.size() - 1)
        t.target.remove_suffix(1);
    t.params = t.query.find_first_not_of('&') != std::string_view::npos;
    return t;
}

} // namespace

list_counts_t& list_counts_t::operator+=(const list_counts_t& other)
{
    lines += other.lines;
    entries += other.entries;
    stored += other.stored;
    duplicates += other.duplicates;
    as_parameters += other.as_parameters;
    without_fragment += other.without_fragment;
    refused += other.refused;
    return *this;
}

list_counts_t list_importer_t::add_file(const std::string& path, list_kind_t kind,
                                        const std::vector<std::string>& databases, std::vector<refusal_t>& refused)
{
    return add_text(path, read_file(path), kind, databases, refused);
}

list_counts_t list_importer_t::add_text(const std::string& path, std::string_view text, list_kind_t kind,
                                        const std::vector<std::string>& databases, std::vector<refusal_t>& refused)
{
    for (const auto& name : databases) {
        auto& files = drafts_[name].files;
        if (std::find(files.begin(), files.end(), path) == files.end())
            files.push_back(path);
    }
    list_counts_t counts;
    unsigned line_number = 0;
    while (!text.empty()) {
        ++line_number;
        ++counts.lines;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string_view entry = trim(line);
        if (entry.empty() || entry.front() == '#')
            continue;
        ++counts.entries;
        const std::string where = path + ":" + std::to_string(line_number) + ": ";
        const auto refuse = [&](const std::string& why) {
            ++counts.refused;
            refused.push_back({where + std::string(entry) + ": " + why});
        };
        const translation_t t = translate(entry, kind);
        if (!t.refusal.empty()) {
            refuse(t.refusal);
            continue;
        }
        item_t item;
        item.params = t.params;
        item.target = t.target;
        if (t.params)
            item.lists.emplace_back(t.query);
        try {
            const std::string source_line = (t.params ? "params " : "url ") + item.target
                + (t.params ? " " + item.lists.front() : std::string());
            const entry_t read = parse_entry(path, line_number, source_line);
            if (std::get<url_entry_t>(read.value).level == 0) {
                refuse("no host");
                continue;
            }
            if (t.params)
                ++counts.as_parameters;
            if (t.fragment_dropped)
                ++counts.without_fragment;
            if (store(read, item, databases))
                ++counts.stored;
            else
                ++counts.duplicates;
        } catch (const source_error_t& e) {
            // The reader names the place itself; keep only its fault.
            std::string why = e.text();
            if (why.starts_with(where))
                why.erase(0, where.size());
            refuse(why);
        }
    }
    return counts;
}

bool list_importer_t::store(const entry_t& entry, const item_t& item, const std::vector<std::string>& databases)
{
    const auto& u = std::get<url_entry_t>(entry.value);
    const key_t key{u.with_params, u.level, u.depth, u.key};
    bool fresh = false;
    for (const auto& name : databases) {
        auto& draft = drafts_[name];
        const auto [it, inserted] = draft.index.emplace(key, draft.items.size());
        if (inserted) {
            draft.items.push_back(item);
            fresh = true;
            continue;
        }
        // Alternative conditions on one host/path go on one line.
        auto& lists = draft.items[it->second].lists;
        for (const auto& list : item.lists)
            if (std::find(lists.begin(), lists.end(), list) == lists.end()) {
                lists.push_back(list);
                fresh = true;
            }
    }
    return fresh;
}

std::vector<std::string> list_importer_t::databases() const
{
    std::vector<std::string> names;
    for (const auto& [name, draft] : drafts_)
        names.push_back(name);
    return names;
}

std::string list_importer_t::source_text(const std::string& name, const std::optional<std::string>& date) const
{
    std::string out = "# Made by nvs-tool import from:\n";
    const auto it = drafts_.find(name);
    if (it != drafts_.end())
        for (const auto& file : it->second.files)
            out += "#   " + file + "\n";
    out += "name " + name + "\n";
    if (date)
        out += "date " + *date + "\n";
    if (it == drafts_.end())
        return out;
    for (const auto& item : it->second.items) {
        out += item.params ? "params " : "url ";
        out += item.target;
        for (const auto& list : item.lists)
            out += " " + list;
        out += "\n";
    }
    return out;
}

} // namespace nvs_tool
