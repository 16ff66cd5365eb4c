// nvs-tool verify: opens each database exactly as the daemon does.
#include "tools/nvs-tool/commands.h"
#include "tools/nvs-tool/failure_text.h"

#include "nvs/file.h"

#include <cstdio>
#include <string>

namespace nvs_tool {

int run_verify(args_t args)
{
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        std::fputs("Usage: nvs-tool verify FILE...\n"
                   "Opens each database as the daemon does: prints \"FILE: OK, N records\" for a good one,\n"
                   "\"FILE: \" and the error on standard error for a bad one. Exit status 1 if any is bad.\n",
                   args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    int status = 0;
    for (const auto arg : args) {
        const std::string path(arg);
        try {
            const nv::nvs::file_t file(path);
            std::printf("%s: OK, %llu records\n", path.c_str(), static_cast<unsigned long long>(file.record_count()));
        } catch (const boost::system::system_error& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s\n", path.c_str(), failure_text(e).c_str());
            status = 1;
        }
    }
    return status;
}

} // namespace nvs_tool
