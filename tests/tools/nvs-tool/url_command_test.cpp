// nvs-tool url, run as a process: one JSON line per URL, in argument order.
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <json.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace nv::test {
namespace {

process_result_t run_url(const std::vector<std::string>& urls)
{
    std::vector<std::string> args = {"url"};
    args.insert(args.end(), urls.begin(), urls.end());
    return run_program("nvs-tool", args);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool is_json(const std::string& text)
{
    std::unique_ptr<json_value, void (*)(json_value*)> value(json_parse(text.data(), text.size()), json_value_free);
    return value != nullptr && value->type == json_object;
}

TEST(nvs_tool_url, one_json_object_per_url_in_argument_order)
{
    const struct {
        std::string url;
        std::string line;
    } cases[] = {
        {"HTTP://..H.B.:80/",
         R"({"scheme":"HTTP","user":"","password":"","host":"h.b","port":80,"path":"/","parameters":[],)"
         R"("fragment":"","escaped":"HTTP://h.b:80/","plain":"HTTP://h.b"})"},
        // Valid UTF-8 is written as text; no port field without a port.
        {"http://u:p@xn--bcher-kva.b/?a=1&b#f",
         R"({"scheme":"http","user":"u","password":"p","host":"b)" "\xC3\xBC" R"(cher.b","path":"/",)"
         R"("parameters":[["a","1"],["b",""]],"fragment":"f","escaped":"http://u:p@xn--bcher-kva.b/?a=1&b#f",)"
         R"("plain":"http://u:p@b)" "\xC3\xBC" R"(cher.b/?a=1&b#f"})"},
        // Bytes that are not UTF-8 are written one by one; control characters are escaped.
        {"http://h/%FF%22%5C?%0A=%01",
         R"({"scheme":"http","user":"","password":"","host":"h","path":"/\u00ff\"\\","parameters":[["\n","\u0001"]],)"
         R"("fragment":"","escaped":"http://h/%FF%22%5C?%0A=%01","plain":"http://h/\u00ff\"\\?\n=\u0001"})"},
        {"", R"({"scheme":"","user":"","password":"","host":"","path":"","parameters":[],"fragment":"",)"
             R"("escaped":"","plain":""})"},
    };
    std::vector<std::string> urls;
    for (const auto& c : cases)
        urls.push_back(c.url);
    auto result = run_url(urls);
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0) << describe(result);
    auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), std::size(cases)) << result.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(cases[i].url);
        EXPECT_EQ(lines[i], cases[i].line);
        EXPECT_TRUE(is_json(lines[i]));
    }
}

TEST(nvs_tool_url, output_is_valid_json_for_any_bytes)
{
    std::string all_bytes;
    for (int b = 1; b < 256; ++b) // an argument cannot hold a NUL
        all_bytes += char(b);
    auto result = run_url({all_bytes, "http://" + all_bytes, "?" + all_bytes, "\xC3\xBC\xFF"});
    ASSERT_TRUE(result.exited) << describe(result);
    EXPECT_EQ(result.exit_status, 0);
    auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& line : lines)
        EXPECT_TRUE(is_json(line)) << line;
    // A field with one bad byte is written byte by byte throughout, the good bytes included.
    EXPECT_NE(lines[3].find(R"("host":"\u00c3\u00bc\u00ff")"), std::string::npos) << lines[3];
}

TEST(nvs_tool_url, no_url_is_a_usage_error)
{
    auto result = run_url({});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("no URL given"), std::string::npos) << result.err;
}

} // namespace
} // namespace nv::test
