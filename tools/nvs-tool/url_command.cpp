// nvs-tool url: shows how URLs are read, as the daemon will look them up.
#include "tools/nvs-tool/commands.h"
#include "tools/nvs-tool/json_writer.h"

#include "nvs/url/url.h"

#include <cstdio>
#include <string>

namespace nvs_tool {

namespace {

std::string describe(const nv::nvs::url_t& url)
{
    using format_t = nv::nvs::url_t::format_t;
    json_writer_t json;
    json.begin_object()
        .field("scheme", url.scheme())
        .field("user", url.user())
        .field("password", url.password())
        .field("host", url.host());
    if (url.port())
        json.field("port", std::int64_t(*url.port()));
    json.field("path", url.path()).key("parameters").begin_array();
    for (const auto& p : url.parameters())
        json.begin_array().string(p.name).string(p.value).end_array();
    json.end_array()
        .field("fragment", url.fragment())
        .field("escaped", url.str(format_t::escaped))
        .field("plain", url.str(format_t::plain))
        .end_object();
    return json.release();
}

} // namespace

int run_url(args_t args)
{
    if (args.empty()) {
        std::fputs("nvs-tool url: no URL given\nUsage: nvs-tool url URL...\n", stderr);
        return 2;
    }
    for (std::string_view text : args) {
        std::string line = describe(nv::nvs::url_t(text));
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("nvs-tool url: write");
        return 1;
    }
    return 0;
}

} // namespace nvs_tool
