// nvs-tool build: a documented text source -> one signed database file.
#include "tools/nvs-tool/commands.h"
#include "tools/nvs-tool/atomic_file.h"
#include "tools/nvs-tool/database_builder.h"

#include <boost/system/system_error.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace nvs_tool {

namespace {

int usage(bool help)
{
    std::fputs("Usage: nvs-tool build --key PRIVATE.pem SOURCE.txt OUTPUT.nvs\n"
               "Builds one signed database from a text source (see docs/nvs-source-format.md).\n",
               help ? stdout : stderr);
    return help ? 0 : 2;
}

} // namespace

int run_build(args_t args)
{
    std::string key_path;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help")
            return usage(true);
        if (args[i] == "--key" && i + 1 < args.size())
            key_path = std::string(args[++i]);
        else if (args[i].starts_with("--key="))
            key_path = std::string(args[i].substr(6));
        else if (args[i].starts_with("-"))
            return usage(false);
        else
            files.emplace_back(args[i]);
    }
    if (key_path.empty() || files.size() != 2)
        return usage(false);
    try {
        const auto key = nv::nvs::index::dsa_key_t::read_private_pem(key_path);
        const auto source = read_source(files[0]);
        const auto built = build_database(source, key);
        write_atomically(files[1], built.image);
        std::printf("%s: %llu records, %zu bytes\n", files[1].c_str(), static_cast<unsigned long long>(built.records),
                    built.image.size());
    } catch (const source_error_t& e) {
        std::fprintf(stderr, "%s\n", e.text().c_str());
        return 1;
    } catch (const boost::system::system_error& e) {
        std::fprintf(stderr, "nvs-tool build: %s\n", e.what());
        return 1;
    } catch (const std::length_error& e) {
        std::fprintf(stderr, "nvs-tool build: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace nvs_tool
