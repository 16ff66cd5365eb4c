// urlcheck-query [--socket PATH] [--category NAME]... [--address IP]... [--json] URL...
// urlcheck-query --bench [--connections N] [--depth D] [--urls FILE] [--duration S | --count C] [--rate R]
#include <fstream>
#include <iostream>

#include <boost/program_options.hpp>

#include "tools/urlcheck-query/modes.h"

namespace po = boost::program_options;

namespace {

// The client socket of the example configuration (examples/urlcheck.json).
constexpr const char* default_socket = "/tmp/norva-urlcheck.sock";

// One URL a line; surrounding blanks and empty lines are skipped.
std::vector<std::string> read_lines(std::istream& in)
{
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        const auto last = line.find_last_not_of(" \t\r");
        lines.push_back(line.substr(first, last - first + 1));
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string socket_path = default_socket;
    std::vector<std::string> category_names;
    std::vector<std::string> addresses;
    std::vector<std::string> urls;
    std::string urls_file;
    bool json = false;
    bool bench = false;
    query::bench_options_t bench_options;

    po::options_description visible("Options");
    visible.add_options()
        ("help,h", "print this help and exit")
        ("socket", po::value(&socket_path), "the daemon's client socket (default: " "/tmp/norva-urlcheck.sock" ")")
        ("category", po::value(&category_names), "ask only about this category (repeatable; e.g. UC_GAMBLING, gambling or 6)")
        ("address", po::value(&addresses), "an IP address of the URL's host, as the client resolved it (repeatable)")
        ("json", po::bool_switch(&json), "print one JSON object per URL")
        ("bench", po::bool_switch(&bench), "load the daemon and print throughput and latency")
        ("connections", po::value(&bench_options.connections), "--bench: connections (default 8)")
        ("depth", po::value(&bench_options.depth), "--bench: requests in flight on each connection (default 32)")
        ("urls", po::value(&urls_file), "--bench: file with one URL a line")
        ("duration", po::value(&bench_options.duration_seconds), "--bench: seconds to run (default 10)")
        ("count", po::value(&bench_options.count), "--bench: stop after this many checks instead")
        ("rate", po::value(&bench_options.rate), "--bench: checks per second over all connections (default: as fast as possible)");
    po::options_description hidden;
    hidden.add_options()("url", po::value(&urls));
    po::options_description all;
    all.add(visible).add(hidden);
    po::positional_options_description positional;
    positional.add("url", -1);

    try {
        po::variables_map values;
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), values);
        if (values.count("help")) {
            std::cout << "Usage: urlcheck-query [--socket PATH] [--category NAME]... [--address IP]... [--json] URL...\n"
                         "       urlcheck-query --bench [--connections N] [--depth D] [--urls FILE]"
                         " [--duration S | --count C] [--rate R]\n"
                         "Without URL arguments the URLs are read from standard input, one a line.\n"
                         "Exit status: 0 when every URL was answered (answers with an error code included),\n"
                         "1 when the daemon cannot be reached or closes the connection, 2 for a usage error.\n\n"
                      << visible << '\n';
            return 0;
        }
        po::notify(values);
        if (bench_options.connections == 0 || bench_options.depth == 0)
            throw po::error("--connections and --depth must be at least 1");
    } catch (const po::error& e) {
        std::cerr << "urlcheck-query: " << e.what() << " (see --help)\n";
        return 2;
    }

    try {
        query::request_options_t request;
        for (const std::string& name : category_names)
            request.categories.push_back(query::parse_category(name));
        request.addresses = addresses;

        if (!urls_file.empty()) {
            std::ifstream in(urls_file);
            if (!in)
                throw query::failure_t("cannot read \"" + urls_file + "\"");
            const std::vector<std::string> more = read_lines(in);
            urls.insert(urls.end(), more.begin(), more.end());
        } else if (urls.empty()) {
            urls = read_lines(std::cin);
        }

        if (bench) {
            bench_options.socket_path = socket_path;
            bench_options.request = request;
            return query::run_bench(bench_options, urls);
        }
        query::query_options_t options{socket_path, request, json};
        return query::run_query(options, urls);
    } catch (const query::failure_t& e) {
        std::cerr << "urlcheck-query: " << e.what() << '\n';
        return 1;
    }
}
