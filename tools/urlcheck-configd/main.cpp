// urlcheck-configd --config FILE [--daemon PATH] [--cloudd-socket PATH] [--verbose]
#include <iostream>

#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "tools/urlcheck-configd/stand_in.h"

namespace po = boost::program_options;

namespace {

// The daemon installed beside this program.
std::string default_daemon_path()
{
    boost::system::error_code error;
    const boost::filesystem::path self = boost::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return "norva-urlcheck";
    return (self.parent_path() / "norva-urlcheck").string();
}

}  // namespace

int main(int argc, char** argv)
{
    configd::options_t options;
    po::options_description description("urlcheck-configd: runs norva-urlcheck as ConfigD would");
    description.add_options()
        ("help,h", "print this help and exit")
        ("config", po::value(&options.config_path)->required(), "the configuration file (JSON form of nv.UrlCheckConfig)")
        ("daemon", po::value(&options.daemon_path), "the daemon executable (default: norva-urlcheck beside this program)")
        ("cloudd-socket", po::value(&options.cloudd_socket),
         "socket path of CloudD to tell the daemon (default: CloudD is not installed)")
        ("verbose", po::bool_switch(&options.verbose), "also print every statistics notification");
    try {
        po::variables_map values;
        po::store(po::parse_command_line(argc, argv, description), values);
        if (values.count("help")) {
            std::cout << "Usage: urlcheck-configd --config FILE [--daemon PATH] [--cloudd-socket PATH] [--verbose]\n"
                      << description << '\n';
            return 0;
        }
        po::notify(values);
    } catch (const po::error& e) {
        configd::say(std::string(e.what()) + " (see --help)");
        return 2;
    }
    if (options.daemon_path.empty())
        options.daemon_path = default_daemon_path();

    try {
        configd::stand_in_t stand_in(std::move(options));
        return stand_in.run();
    } catch (const std::exception& e) {
        configd::say(e.what());
        return 1;
    }
}
