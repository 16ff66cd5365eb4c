#include <iostream>
#include <optional>

#include "tools/urlcheck-query/modes.h"

namespace query {

namespace {

// Requests in flight at once: enough to keep the daemon busy, few enough
// that a long list does not pile up in the socket buffers.
constexpr std::size_t window = 256;

}  // namespace

int run_query(const query_options_t& options, const std::vector<std::string>& urls)
{
    connection_t connection(options.socket_path);
    std::vector<std::optional<uc::UrlResult>> results(urls.size());
    std::size_t sent = 0;
    std::size_t answered = 0;
    while (answered < urls.size()) {
        std::string batch;
        while (sent < urls.size() && sent - answered < window) {
            connection_t::append_frame(make_request(static_cast<std::uint32_t>(sent), urls[sent], options.request),
                                       batch);
            ++sent;
        }
        if (!batch.empty())
            connection.write_all(batch);
        std::optional<uc::ServerMessage> answer = connection.read_answer();
        if (!answer)
            throw failure_t("the daemon closed the connection before answering (" + std::to_string(answered) +
                            " of " + std::to_string(urls.size()) + " answered)");
        if (!answer->has_serial() || answer->serial() >= sent || results[answer->serial()] || !answer->has_url_result())
            throw failure_t("the daemon sent an answer that matches no question");
        results[answer->serial()] = answer->url_result();
        ++answered;
    }
    for (std::size_t i = 0; i < urls.size(); ++i) {
        if (options.json)
            std::cout << verdict_json(urls[i], *results[i]) << '\n';
        else
            std::cout << urls[i] << " - " << verdict_text(*results[i]) << '\n';
    }
    std::cout.flush();
    return 0;
}

}  // namespace query
