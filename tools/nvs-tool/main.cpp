// nvs-tool: dispatches to one subcommand.
#include "tools/nvs-tool/commands.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace {

struct command_t {
    std::string_view name;
    int (*run)(nvs_tool::args_t);
    std::string_view summary;
};

constexpr command_t commands[] = {
    {"url", nvs_tool::run_url, "url URL...              show how each URL is read (one JSON object per line)"},
    {"keygen", nvs_tool::run_keygen, "keygen PRIVATE.pem PUBLIC.pem   make a new key pair for signing databases"},
    {"build", nvs_tool::run_build, "build --key PRIVATE.pem SOURCE.txt OUTPUT.nvs   build one signed database"},
    {"dump", nvs_tool::run_dump, "dump [--records] FILE...   show a database's header, sections and records"},
    {"verify", nvs_tool::run_verify, "verify FILE...           open each database as the daemon does"},
    {"lookup", nvs_tool::run_lookup,
     "lookup --dir DIR [--category NAME]... [--address IP]... [--keys] [--json] URL...\n"
     "                           check URLs against the databases of DIR and show what decided"},
    {"import", nvs_tool::run_import,
     "import [--map FILE] [--sources DIR] [--key PRIVATE.pem --output DIR] LISTS...\n"
     "                           turn squidGuard-style list folders into sources or databases"},
};

int usage(std::FILE* out)
{
    std::fputs("Usage: nvs-tool COMMAND [ARGS...]\nCommands:\n", out);
    for (const auto& c : commands)
        std::fprintf(out, "  %.*s\n", int(c.summary.size()), c.summary.data());
    return out == stdout ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty())
        return usage(stderr);
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help")
        return usage(stdout);
    for (const auto& c : commands)
        if (c.name == args[0])
            return c.run(nvs_tool::args_t(args).subspan(1));
    std::fprintf(stderr, "nvs-tool: unknown command \"%.*s\"\n", int(args[0].size()), args[0].data());
    return usage(stderr);
}
