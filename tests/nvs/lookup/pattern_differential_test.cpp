// The one-pass pattern search against the straightforward scan it replaced:
// patterns made to collide, a large stream of generated texts and URLs, and
// the real URL lists when present. Both must name the same pattern, and a
// database lookup must report that pattern's record.
#include "nvs/file.h"
#include "nvs/index/pattern_automaton.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_fixture.h"
#include "tests/support/pattern_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace nv::nvs {
namespace {

using index::pattern_automaton_t;

// Letters in both cases, URL punctuation and bytes above 0x7f (a UTF-8 é and
// lone high bytes), few enough that pieces of patterns keep meeting.
struct generator_t {
    std::string alphabet;
    std::uint64_t seed;
};

class colliding_t {
public:
    explicit colliding_t(const generator_t& g) : alphabet_(g.alphabet), rng_(g.seed) {}

    std::string random_text(std::size_t max_length)
    {
        std::string text(rng_() % (max_length + 1), ' ');
        for (char& c : text)
            c = alphabet_[rng_() % alphabet_.size()];
        return text;
    }

    // Short patterns that nearly every text holds some of, longer ones that
    // overlap them, prefixes of one another, repeats, case variants and empty
    // patterns, all in a shuffled order so that the winner moves around.
    std::vector<std::string> patterns()
    {
        std::vector<std::string> out;
        for (int i = 0; i < 40; ++i)
            out.push_back(nonempty(1 + rng_() % 3));
        for (int i = 0; i < 300; ++i)
            out.push_back(nonempty(4 + rng_() % 12));
        for (int i = 0; i < 200; ++i) {
            const std::string& earlier = out[rng_() % out.size()];
            switch (rng_() % 5) {
            case 0: out.push_back(earlier); break;
            case 1: out.push_back(earlier.substr(0, 1 + rng_() % earlier.size())); break;
            case 2: out.push_back(earlier.substr(rng_() % earlier.size())); break;
            case 3: out.push_back(flip_case(earlier)); break;
            default: out.push_back(earlier + nonempty(1 + rng_() % 4)); break;
            }
        }
        out.insert(out.end(), 5, std::string());
        std::shuffle(out.begin(), out.end(), rng_);
        return out;
    }

    // A URL with pieces of patterns in its host and path, or random bytes.
    std::string url(const std::vector<std::string>& patterns)
    {
        std::string text = rng_() % 2 ? "http://" : "HTTPS://";
        for (int part = 0, parts = 1 + int(rng_() % 5); part < parts; ++part) {
            const std::string& p = patterns[rng_() % patterns.size()];
            text += rng_() % 3 ? p.substr(rng_() % (p.size() + 1)) : random_text(6);
            text += "./?=&"[rng_() % 5];
        }
        return text;
    }

private:
    std::string nonempty(std::size_t length)
    {
        std::string p;
        while (p.size() < length) {
            const char c = alphabet_[rng_() % alphabet_.size()];
            if (c != '\0') // a zero byte ends a pattern in a database
                p += c;
        }
        return p;
    }
    std::string flip_case(std::string s)
    {
        for (char& c : s)
            if (rng_() % 2 && std::isalpha(static_cast<unsigned char>(c)))
                c = char(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
        return s;
    }

    std::string alphabet_;
    std::mt19937_64 rng_;
};

const generator_t generators[] = {
    {"abAB", 1},
    {"abcABC./-%\x80\xC3\xA9\xFF", 2},
    {"aAbB0/.=?&\xC3\xA9\xC3\x89", 3},
    {std::string("ab\0\x7F\xFF", 5), 4}, // zero bytes only in texts
};

std::vector<std::string_view> views_of(const std::vector<std::string>& patterns)
{
    return {patterns.begin(), patterns.end()};
}

TEST(PatternDifferential, CollidingPatternsOverGeneratedTexts)
{
    for (const auto& g : generators) {
        SCOPED_TRACE("seed " + std::to_string(g.seed));
        colliding_t gen(g);
        const auto patterns = gen.patterns();
        const auto views = views_of(patterns);
        const pattern_automaton_t automaton(views);
        std::size_t found = 0;
        for (int i = 0; i < 40'000; ++i) {
            const std::string text = i % 2 ? gen.random_text(48) : gen.url(patterns);
            const std::uint32_t expected = test::scan_patterns(views, text);
            ASSERT_EQ(automaton.find(text), expected) << "text #" << i << " '" << text << "'";
            found += expected != test::no_pattern;
        }
        // The stream must exercise both outcomes, or the comparison proves little.
        EXPECT_GT(found, 1000u);
        EXPECT_LT(found, 40'000u);
    }
}

// A database holding the patterns, looked up the way a check does it.
class pattern_database_t {
public:
    explicit pattern_database_t(std::vector<std::string> patterns)
    {
        test::database_spec_t spec;
        spec.patterns = std::move(patterns);
        test::write_database(dir_.file("p.nvs"), spec);
        file_.emplace(dir_.file("p.nvs"));
    }

    // The lookup's match and the reference scan's pattern, as record offsets.
    void expect_same(std::string_view raw_url) const
    {
        const url_t url(raw_url);
        index::context_t context(url);
        const auto& patterns = file_->patterns().patterns();
        const std::uint32_t i = test::scan_patterns(patterns, url.str(url_t::format_t::plain));
        const index::match_t expected =
            i == test::no_pattern ? index::match_t{} : index::match_t{true, file_->content().offset_of(patterns[i].data())};
        const index::match_t actual = file_->find(context);
        EXPECT_EQ(actual.found, expected.found) << raw_url;
        EXPECT_EQ(actual.record_offset, expected.record_offset) << raw_url;
        found_ += expected.found;
    }
    std::size_t found() const noexcept { return found_; }

private:
    test::temp_dir_t dir_;
    std::optional<file_t> file_;
    mutable std::size_t found_ = 0;
};

TEST(PatternDifferential, DatabaseLookupReportsTheScansRecord)
{
    for (const auto& g : generators) {
        SCOPED_TRACE("seed " + std::to_string(g.seed));
        colliding_t gen(g);
        const auto patterns = gen.patterns();
        const pattern_database_t database(patterns);
        for (int i = 0; i < 5'000; ++i)
            database.expect_same(gen.url(patterns));
        EXPECT_GT(database.found(), 500u);
    }
}

std::vector<std::string> lines_of(const std::filesystem::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// Real URLs against patterns cut from real domains: whole domains, their
// first labels, upper-cased copies, and domains with a path piece appended.
TEST(PatternDifferential, RealUrlsAgainstPatternsFromRealDomains)
{
    const std::filesystem::path dir = std::filesystem::path(NORVA_SHARED_DATA_DIR) / "urls";
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "no URL lists in " << dir;
    std::vector<std::string> urls, domains;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".txt")
            continue;
        const auto lines = lines_of(entry.path());
        urls.insert(urls.end(), lines.begin(), lines.end());
        if (entry.path().filename() == "tranco-top10k.txt")
            domains.insert(domains.end(), lines.begin(), lines.end());
    }
    if (urls.empty() || domains.empty())
        GTEST_SKIP() << "the URL lists in " << dir << " are empty or missing";

    std::mt19937_64 rng(5);
    std::vector<std::string> patterns;
    for (std::size_t i = 0; i < domains.size(); i += 7) {
        const std::string& d = domains[i];
        switch (rng() % 4) {
        case 0: patterns.push_back(d); break;
        case 1: patterns.push_back(d.substr(0, d.find('.'))); break;
        case 2: {
            std::string upper = d;
            std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
            patterns.push_back(upper);
            break;
        }
        default: patterns.push_back(d + "/"); break;
        }
    }
    patterns.insert(patterns.end(), {"/index", ".php?", "login", "https://www.", "www", ".com/"});
    std::shuffle(patterns.begin(), patterns.end(), rng);

    const pattern_database_t database(patterns);
    for (const auto& u : urls)
        database.expect_same(u);
    EXPECT_GT(database.found(), urls.size() / 10);
}

} // namespace
} // namespace nv::nvs
