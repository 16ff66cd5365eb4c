// nvs-tool import: squidGuard-style list folders -> build sources and/or
// signed databases, with a report of every entry that could not be stored.
#include "tools/nvs-tool/atomic_file.h"
#include "tools/nvs-tool/category_map.h"
#include "tools/nvs-tool/commands.h"
#include "tools/nvs-tool/database_builder.h"
#include "tools/nvs-tool/list_import.h"

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nvs_tool {

namespace {

namespace fs = boost::filesystem;

int usage(bool help)
{
    std::fputs(
        "Usage: nvs-tool import [--map FILE] [--sources DIR] [--key PRIVATE.pem --output DIR]\n"
        "                       [--date \"YYYY-MM-DD hh:mm:ss\"] LISTS...\n"
        "       nvs-tool import --show-map\n"
        "Reads squidGuard-style list folders (LISTS/<folder>/domains and urls) and writes one\n"
        "build source (--sources) and/or one signed database (--output) per category.\n"
        "Without --map the bundled map of the UT1 folders is used (see --show-map).\n"
        "Entries that cannot be stored are listed on standard error and counted.\n",
        help ? stdout : stderr);
    return help ? 0 : 2;
}

struct options_t {
    std::optional<std::string> map_path;
    std::string sources_dir;
    std::string output_dir;
    std::string key_path;
    std::optional<std::string> date;
    std::vector<std::string> lists;
    bool show_map = false;
};

// Returns nothing after a usage error.
std::optional<options_t> parse_options(args_t args, int& status)
{
    options_t o;
    const auto value = [&](std::size_t& i, std::string_view name, std::string& out) {
        if (args[i] == name && i + 1 < args.size()) {
            out = std::string(args[++i]);
            return true;
        }
        if (args[i].starts_with(std::string(name) + "=")) {
            out = std::string(args[i].substr(name.size() + 1));
            return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string text;
        if (args[i] == "-h" || args[i] == "--help") {
            status = usage(true);
            return std::nullopt;
        }
        if (args[i] == "--show-map")
            o.show_map = true;
        else if (value(i, "--map", text))
            o.map_path = text;
        else if (value(i, "--sources", o.sources_dir) || value(i, "--output", o.output_dir)
                 || value(i, "--key", o.key_path))
            continue;
        else if (value(i, "--date", text))
            o.date = text;
        else if (args[i].starts_with("-")) {
            status = usage(false);
            return std::nullopt;
        } else
            o.lists.emplace_back(args[i]);
    }
    const bool output_complete = o.output_dir.empty() == o.key_path.empty();
    if (!o.show_map && (o.lists.empty() || (o.sources_dir.empty() && o.output_dir.empty()) || !output_complete)) {
        status = usage(false);
        return std::nullopt;
    }
    return o;
}

void make_directory(const std::string& path)
{
    boost::system::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw boost::system::system_error(ec, "create " + path);
}

void print_counts(const std::string& what, const list_counts_t& c)
{
    const auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("%s: %llu entries, %llu stored, %llu duplicates, %llu as parameter conditions, "
                "%llu without fragment, %llu refused\n",
                what.c_str(), n(c.entries), n(c.stored), n(c.duplicates), n(c.as_parameters), n(c.without_fragment),
                n(c.refused));
}

std::string join(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out;
}

int run(const options_t& o)
{
    const category_map_t map = o.map_path ? read_category_map(*o.map_path)
                                          : parse_category_map("(bundled map)", default_category_map_text());
    std::optional<nv::nvs::index::dsa_key_t> key;
    if (!o.key_path.empty())
        key = nv::nvs::index::dsa_key_t::read_private_pem(o.key_path);
    if (o.date) // refuse a bad date before any work, with the builder's own words
        parse_source("--date", "name unspecified\ndate " + *o.date + "\n");

    list_importer_t importer;
    std::vector<refusal_t> refused;
    list_counts_t total;
    std::set<std::string> found;
    for (const auto& lists : o.lists) {
        if (!fs::is_directory(lists))
            throw boost::system::system_error(make_error_code(boost::system::errc::not_a_directory), lists);
        std::vector<fs::path> folders;
        for (const auto& e : fs::directory_iterator(lists))
            if (fs::is_directory(e.path()))
                folders.push_back(e.path());
        std::sort(folders.begin(), folders.end());
        for (const auto& folder : folders) {
            const std::string name = folder.filename().string();
            const auto& databases = map.databases_of(name);
            if (databases.empty()) {
                std::printf("%s: not in the map, skipped\n", folder.string().c_str());
                continue;
            }
            found.insert(name);
            std::vector<fs::path> files;
            for (const auto& e : fs::directory_iterator(folder))
                files.push_back(e.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                const std::string leaf = file.filename().string();
                if (leaf != "domains" && leaf != "urls") {
                    // Regular expressions and notes have no counterpart here.
                    std::printf("%s: not a domains or urls list, skipped\n", file.string().c_str());
                    continue;
                }
                const auto kind = leaf == "domains" ? list_kind_t::domains : list_kind_t::urls;
                const auto counts = importer.add_file(file.string(), kind, databases, refused);
                print_counts(file.string() + " -> " + join(databases), counts);
                total += counts;
            }
        }
    }
    for (const auto& [name, databases] : map.folders)
        if (!found.count(name))
            std::printf("%s: mapped but not found\n", name.c_str());

    if (!o.sources_dir.empty())
        make_directory(o.sources_dir);
    if (!o.output_dir.empty())
        make_directory(o.output_dir);
    for (const auto& name : importer.databases()) {
        const std::string text = importer.source_text(name, o.date);
        std::string source_path = name + ".txt";
        if (!o.sources_dir.empty()) {
            source_path = o.sources_dir + "/" + name + ".txt";
            write_atomically(source_path, std::string_view(text));
            std::printf("%s written\n", source_path.c_str());
        }
        if (key) {
            // Through the builder's reader and writer, exactly as "nvs-tool build" of the source.
            const auto built = build_database(parse_source(source_path, text), *key);
            const std::string output = o.output_dir + "/" + name + ".nvs";
            write_atomically(output, built.image);
            std::printf("%s: %llu records, %zu bytes\n", output.c_str(),
                        static_cast<unsigned long long>(built.records), built.image.size());
        }
    }
    for (const auto& r : refused)
        std::fprintf(stderr, "refused: %s\n", r.text.c_str());
    print_counts("total", total);
    return 0;
}

} // namespace

int run_import(args_t args)
{
    int status = 0;
    const auto options = parse_options(args, status);
    if (!options)
        return status;
    if (options->show_map) {
        const auto text = default_category_map_text();
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    try {
        return run(*options);
    } catch (const source_error_t& e) {
        std::fprintf(stderr, "%s\n", e.text().c_str());
    } catch (const boost::system::system_error& e) {
        std::fprintf(stderr, "nvs-tool import: %s\n", e.what());
    } catch (const std::length_error& e) {
        std::fprintf(stderr, "nvs-tool import: %s\n", e.what());
    }
    return 1;
}

} // namespace nvs_tool
