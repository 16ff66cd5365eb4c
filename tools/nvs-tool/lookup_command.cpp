// nvs-tool lookup: why a URL gets its verdict. Loads the databases of a
// directory as the daemon does, checks each URL with the daemon's own walk,
// and shows the categories, the legal URL, the database and record that
// decided each category, and on request the keys that were tried.
#include "tools/nvs-tool/commands.h"
#include "tools/nvs-tool/json_writer.h"

#include "nvs/async/reload.h"
#include "nvs/file.h"
#include "nvs/find_in_set.h"
#include "nvs/index/category.h"
#include "nvs/log.h"
#include "nvs/url/url.h"
#include "proto/annotation.pb.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace nvs_tool {

namespace {

namespace nvs = nv::nvs;

constexpr const char* usage_text =
    "Usage: nvs-tool lookup --dir DIR [--category NAME]... [--address IP]... [--keys] [--json] URL...\n";

struct options_t {
    std::string dir;
    nvs::category_set_t mask = 0;
    nvs::address_set_t addresses;
    bool keys = false;
    bool json = false;
    std::vector<std::string_view> urls;
};

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "nvs-tool lookup: %s\n%s", message.c_str(), usage_text);
    return 2;
}

// The bit of a database category name of the category table; nothing for other names.
std::optional<nvs::category_set_t> category_of(std::string_view name)
{
    const nvs::category_set_t bit = nvs::category_of_name(name);
    if (nvs::name_of_category(bit) != name)
        return std::nullopt;
    return bit;
}

// Returns the exit status when the arguments cannot be used.
std::optional<int> parse(args_t args, options_t& options)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (arg == "--dir" || arg == "--category" || arg == "--address") {
            const auto v = value();
            if (!v)
                return usage_error(std::string(arg) + " needs a value");
            if (arg == "--dir") {
                options.dir = std::string(*v);
            } else if (arg == "--category") {
                const auto bit = category_of(*v);
                if (!bit)
                    return usage_error("unknown category \"" + std::string(*v) + "\"");
                options.mask |= *bit;
            } else {
                const auto address = nvs::parse_ip_address(*v);
                if (!address)
                    return usage_error("not an IP address: \"" + std::string(*v) + "\"");
                options.addresses.insert(*address);
            }
        } else if (arg == "--keys") {
            options.keys = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--") {
            options.urls.insert(options.urls.end(), args.begin() + std::ptrdiff_t(i) + 1, args.end());
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option \"" + std::string(arg) + "\"");
        } else {
            options.urls.push_back(arg);
        }
    }
    if (options.dir.empty())
        return usage_error("no database directory given (--dir)");
    if (options.urls.empty())
        return usage_error("no URL given");
    // As a client that names no categories: every bit, "unspecified" included.
    if (options.mask == 0)
        options.mask = 0xFFFFFFFFu;
    return std::nullopt;
}

std::string hex(const nvs::index::md5_key_t& key)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto byte : key) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

std::string category_name(nvs::category_set_t bit)
{
    const auto name = nvs::name_of_category(bit);
    return name ? std::string(*name) : "bit " + std::to_string(bit);
}

std::string category_text(nv::UrlCategory value)
{
    const auto* entry = nv::UrlCategory_descriptor()->FindValueByNumber(value);
    if (!entry)
        return std::to_string(int(value));
    return entry->options().HasExtension(nv::lex) ? entry->options().GetExtension(nv::lex) : entry->name();
}

using key_entry_t = nvs::index::context_t::key_entry_t;

// The host keys tried, by level then depth, or the address keys, by address
// then depth: in the order of the search, whatever order they were hashed in.
std::vector<key_entry_t> keys_of(const nvs::index::context_t& context, key_entry_t::kind_t kind)
{
    std::vector<key_entry_t> keys;
    for (const auto& entry : context.keys())
        if (entry.kind == kind)
            keys.push_back(entry);
    std::sort(keys.begin(), keys.end(), [](const key_entry_t& a, const key_entry_t& b) {
        return std::tie(a.address, a.level, a.depth) < std::tie(b.address, b.level, b.depth);
    });
    return keys;
}

struct outcome_t {
    nvs::report_t report;
    std::vector<nvs::decision_t> decisions;
};

std::string json_line(const nvs::url_t& url, const outcome_t& outcome, const nvs::index::context_t& context,
                      bool keys)
{
    json_writer_t json;
    json.begin_object().field("url", url.str(nvs::url_t::format_t::escaped));
    json.key("categories").begin_array();
    for (const auto value : nvs::url_categories_of(outcome.report.categories))
        json.number(value);
    json.end_array();
    if (!outcome.report.legal_url.empty())
        json.field("legal_url", outcome.report.legal_url);
    json.key("matches").begin_array();
    for (const auto& d : outcome.decisions)
        json.begin_object()
            .field("category", category_name(d.category))
            .field("file", d.file->path())
            .field("record_offset", std::int64_t(d.record_offset))
            .key("whitelist")
            .boolean(d.whitelist)
            .end_object();
    json.end_array();
    if (keys) {
        json.key("host_keys").begin_array();
        for (const auto& k : keys_of(context, key_entry_t::kind_t::host))
            json.begin_object()
                .field("level", std::int64_t(k.level))
                .field("depth", std::int64_t(k.depth))
                .field("key", hex(k.key))
                .end_object();
        json.end_array().key("address_keys").begin_array();
        for (const auto& k : keys_of(context, key_entry_t::kind_t::address))
            json.begin_object()
                .field("address", k.address->to_string())
                .field("depth", std::int64_t(k.depth))
                .field("key", hex(k.key))
                .end_object();
        json.end_array();
    }
    json.end_object();
    return json.release() + '\n';
}

std::string text_lines(const nvs::url_t& url, const outcome_t& outcome, const nvs::index::context_t& context,
                       bool keys)
{
    std::string out = url.str(nvs::url_t::format_t::escaped) + "\n  categories:";
    const auto values = nvs::url_categories_of(outcome.report.categories);
    if (values.empty())
        out += " none";
    for (std::size_t i = 0; i < values.size(); ++i)
        out += (i ? ", " : " ") + category_text(values[i]);
    out += '\n';
    if (!outcome.report.legal_url.empty())
        out += "  legal URL: " + outcome.report.legal_url + '\n';
    for (const auto& d : outcome.decisions)
        out += "  " + category_name(d.category) + (d.whitelist ? ": suppressed by whitelist " : ": found in ")
            + d.file->path() + " at record offset " + std::to_string(d.record_offset) + '\n';
    if (keys) {
        for (const auto& k : keys_of(context, key_entry_t::kind_t::host))
            out += "  host key level " + std::to_string(k.level) + " depth " + std::to_string(k.depth) + ": "
                + hex(k.key) + '\n';
        for (const auto& k : keys_of(context, key_entry_t::kind_t::address))
            out += "  address key " + k.address->to_string() + " depth " + std::to_string(k.depth) + ": "
                + hex(k.key) + '\n';
    }
    return out;
}

} // namespace

int run_lookup(args_t args)
{
    options_t options;
    if (const auto status = parse(args, options))
        return *status;

    // A directory that cannot be listed leaves the daemon without databases; a
    // person asking about it is better told plainly.
    boost::system::error_code ec;
    if (!boost::filesystem::is_directory(options.dir, ec)) {
        std::fprintf(stderr, "nvs-tool lookup: \"%s\" is not a readable directory%s%s\n", options.dir.c_str(),
                     ec ? ": " : "", ec ? ec.message().c_str() : "");
        return 1;
    }

    // Load failures are shown on standard error, in the daemon's words, and the
    // remaining databases are used, as the daemon does.
    auto& log = nvs::log_t::instance();
    log.set_threshold(nvs::log_t::error);
    log.set_handler([](nvs::log_t::level_t, std::string_view text) {
        std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
    });
    nvs::async::engine_t::estate_t estate;
    nvs::async::reload_databases(estate, options.dir);

    for (const std::string_view text : options.urls) {
        const nvs::url_t url(text, options.addresses);
        nvs::index::context_t context(url);
        outcome_t outcome;
        outcome.report = nvs::check_categories(context, estate.by_category, options.mask, &outcome.decisions);
        const std::string out = options.json ? json_line(url, outcome, context, options.keys)
                                             : text_lines(url, outcome, context, options.keys);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("nvs-tool lookup: write");
        return 1;
    }
    return 0;
}

} // namespace nvs_tool
