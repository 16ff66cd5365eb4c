// nvs-tool keygen: a new DSA key pair of the size database signatures use.
#include "tools/nvs-tool/commands.h"

#include "nvs/index/dsa_key.h"

#include <boost/system/system_error.hpp>

#include <cstdio>
#include <string>

namespace nvs_tool {

int run_keygen(args_t args)
{
    if (args.size() != 2 || args[0].starts_with("-")) {
        const bool help = !args.empty() && (args[0] == "-h" || args[0] == "--help");
        std::fputs("Usage: nvs-tool keygen PRIVATE.pem PUBLIC.pem\n"
                   "Writes a new DSA key pair (512-bit p, 160-bit q) as standard PEM files; the private key\n"
                   "with mode 0600. Existing files are never overwritten.\n",
                   help ? stdout : stderr);
        return help ? 0 : 2;
    }
    const std::string private_path(args[0]), public_path(args[1]);
    try {
        const auto key = nv::nvs::index::dsa_key_t::generate();
        key.write_private_pem(private_path);
        try {
            key.write_public_pem(public_path);
        } catch (...) {
            // A private key without its public half would only confuse.
            std::remove(private_path.c_str());
            throw;
        }
    } catch (const boost::system::system_error& e) {
        std::fprintf(stderr, "nvs-tool keygen: %s\n", e.what());
        return 1;
    }
    std::printf("Wrote %s (private, keep it secret) and %s (public)\n", private_path.c_str(), public_path.c_str());
    return 0;
}

} // namespace nvs_tool
