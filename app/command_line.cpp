#include "app/command_line.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "app/exe_info.h"
#include "common/log.h"
#include "common/log_factory.h"

namespace uc {

namespace po = boost::program_options;

namespace {

// Default style plus case-insensitive long options.
constexpr int command_line_style = po::command_line_style::default_style | po::command_line_style::long_case_insensitive;

po::options_description make_description()
{
    const unsigned line_length = po::options_description::m_default_line_length;
    return po::options_description("Command line options", line_length, line_length / 2);
}

}  // namespace

void run_command_line(const char* program, const char* version, int argc, char* argv[])
{
    // Failures print "Error: <text>" on standard error.
    nv::set_level(nv::log_error);
    nv::install_log(nv::make_console_log());

    auto visible = make_description();
    visible.add_options()
        ("help,h", po::bool_switch(), "print help message and exit")
        ("version,v", po::bool_switch(), "print version and exit");
    auto all = make_description();
    all.add(visible);
    all.add_options()("dump-app-info", po::bool_switch(), "dump exe file info");

    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    po::variables_map options;
    po::store(po::command_line_parser(arguments).options(all).style(command_line_style).run(), options);
    po::notify(options);

    if (options["help"].as<bool>()) {
        std::cout << visible << '\n';
        std::exit(0);
    }
    if (options["version"].as<bool>()) {
        std::cout << program << ' ' << version << '\n';
        std::exit(0);
    }
    if (options["dump-app-info"].as<bool>()) {
        nv::AppExeInfo info;
        try {
            info = collect_exe_info(version, argc, argv);
        } catch (const std::exception&) {
            // The report never fails visibly: an empty one is printed.
        }
        print_exe_info(std::cout, info);
        std::cout << '\n';
        std::exit(0);
    }
    std::cout << "Cannot run standalone. See " << program << "(1) for details.\n";
    std::exit(1);
}

}  // namespace uc
