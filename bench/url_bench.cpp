// Cost of reading one URL: parse plus both text forms, as a check request pays it.
#include "nvs/url/url.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using nv::nvs::url_t;

void parse_and_print(benchmark::State& state, const std::string& text)
{
    for (auto _ : state) {
        url_t url(text);
        benchmark::DoNotOptimize(url.str(url_t::format_t::escaped));
        benchmark::DoNotOptimize(url.str(url_t::format_t::plain));
    }
    state.SetLabel(std::to_string(text.size()) + " bytes");
}

// A typical URL with a query: 80 bytes.
const std::string typical = "https://www.example-shop.com/catalog/item.php?id=48213&lang=en&ref=front%20pages";
// A host with a Punycode label, decoded on parsing and encoded again for the escaped form.
const std::string punycode_host = "http://www.xn--bcher-kva.example/shop/index.html?q=b%C3%BCcher";

void url_typical(benchmark::State& state) { parse_and_print(state, typical); }
void url_punycode_host(benchmark::State& state) { parse_and_print(state, punycode_host); }

BENCHMARK(url_typical);
BENCHMARK(url_punycode_host);

} // namespace
