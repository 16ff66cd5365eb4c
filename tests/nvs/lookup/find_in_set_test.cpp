// The lookup in sets of databases and the per-category walk of one check:
// whitelists, masks, and the legal URL of piracy notices; over the category
// map and over the walk plan made from it alike.
#include "nvs/file.h"
#include "nvs/find_in_set.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace nv::nvs {
namespace {

using test::database_spec_t;
using test::host_record;
using test::url_record_t;

url_record_t noticed(url_record_t r, std::string notice)
{
    r.notice = std::move(notice);
    return r;
}

// Databases written to a temporary directory, opened and filed by category.
class databases_t {
public:
    std::shared_ptr<const file_t> add(const std::string& file_name, const database_spec_t& spec)
    {
        test::write_database(dir_.file(file_name), spec);
        auto file = std::make_shared<const file_t>(dir_.file(file_name));
        file_into(map_, file);
        return file;
    }
    const category_map_t& map() const { return map_; }

    void remove(const std::shared_ptr<const file_t>& file) { remove_from(map_, file); }

    // Walks the map and a plan made from it; both must give the same report
    // and decisions.
    report_t check(const char* url_text, category_set_t mask, std::vector<decision_t>* decisions = nullptr) const
    {
        const url_t url(url_text);
        index::context_t context(url);
        std::vector<decision_t> map_decisions, plan_decisions;
        const report_t report = check_categories(context, map_, mask, &map_decisions);
        index::context_t plan_context(url);
        const report_t planned = check_categories(plan_context, walk_plan_t(map_), mask, &plan_decisions);
        EXPECT_EQ(planned.categories, report.categories) << url_text;
        EXPECT_EQ(planned.legal_url, report.legal_url) << url_text;
        EXPECT_EQ(plan_decisions.size(), map_decisions.size()) << url_text;
        for (std::size_t i = 0; i < std::min(plan_decisions.size(), map_decisions.size()); ++i) {
            EXPECT_EQ(plan_decisions[i].category, map_decisions[i].category) << url_text;
            EXPECT_EQ(plan_decisions[i].file, map_decisions[i].file) << url_text;
            EXPECT_EQ(plan_decisions[i].record_offset, map_decisions[i].record_offset) << url_text;
            EXPECT_EQ(plan_decisions[i].whitelist, map_decisions[i].whitelist) << url_text;
        }
        if (decisions)
            *decisions = std::move(map_decisions);
        return report;
    }

private:
    test::temp_dir_t dir_;
    category_map_t map_;
};

database_spec_t matching(std::string name, std::vector<url_record_t> urls = {host_record(2, 0, "b.c")})
{
    return database_spec_t{}.with_name(std::move(name)).with_urls(std::move(urls));
}

constexpr category_set_t gamble = 1u << 5, porno = 1u << 2, black_list = category_black_list;

TEST(LegalUrl, NoticeTexts)
{
    const struct {
        const char* notice;
        const char* legal;
    } rows[] = {
        {R"({"legalURL":"https://legal.example/film"})", "https://legal.example/film"},
        {R"({"title":"x","legalURL":"https://l.example/"})", "https://l.example/"},
        {R"({})", ""},
        {R"({"legalURL":42})", ""},
        {R"({"legalurl":"https://l.example/"})", ""},
        {R"(["legalURL","https://l.example/"])", ""},
        {R"("https://l.example/")", ""},
        {R"(not json)", ""},
        {R"({"legalURL":"https://first.example/","legalURL":"https://second.example/"})", "https://first.example/"},
        {R"({"legalURL":"caf\u00e9"})", "caf\xC3\xA9"},
    };
    test::temp_dir_t dir;
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.notice);
        const std::string path = dir.file(std::to_string(n++) + ".nvs");
        test::write_database(path, matching("piracy", {noticed(host_record(2, 0, "b.c"), row.notice)}));
        const file_t file(path);
        const url_t url("http://a.b.c/");
        index::context_t context(url);
        const auto match = file.find(context);
        ASSERT_TRUE(match.found);
        EXPECT_EQ(file.legal_url(match.record_offset), row.legal);
        // Offsets that are not keys of a notice give nothing.
        EXPECT_EQ(file.legal_url(match.record_offset + 1), "");
    }
}

TEST(FindInSet, LegalUrlArgumentContract)
{
    databases_t dbs;
    const auto piracy = dbs.add("p.nvs", matching("piracy", {noticed(host_record(2, 0, "b.c"), R"({"legalURL":"L"})")}));
    const auto piracy_white =
        dbs.add("pw.nvs", matching("whitelist_piracy", {noticed(host_record(2, 0, "b.c"), R"({"legalURL":"W"})")}));
    const auto game = dbs.add("g.nvs", matching("gamble"));
    const auto other = dbs.add("o.nvs", matching("gamble", {host_record(1, 0, "zz")}));

    const url_t url("http://a.b.c/");
    index::context_t context(url);
    const struct {
        const char* what;
        file_set_t set;
        bool found;
        const char* legal; // the argument starts as "unchanged"
        std::shared_ptr<const file_t> file;
    } rows[] = {
        {"piracy database", {piracy}, true, "L", piracy},
        {"piracy whitelist never gives a legal URL", {piracy_white}, true, "", piracy_white},
        {"other category empties it", {game}, true, "", game},
        {"no match leaves it", {other}, false, "unchanged", nullptr},
        {"empty set leaves it", {}, false, "unchanged", nullptr},
        {"first match in set order", {other, game}, true, "", game},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string legal = "unchanged";
        std::shared_ptr<const file_t> matched;
        const auto match = find_in_set(context, row.set, legal, &matched);
        EXPECT_EQ(match.found, row.found);
        EXPECT_EQ(legal, row.legal);
        EXPECT_EQ(matched, row.file);
    }
}

TEST(CheckCategories, WhitelistsSuppressOnlyTheirOwnCategory)
{
    databases_t dbs;
    const auto game = dbs.add("g.nvs", matching("gamble"));
    const auto game_white = dbs.add("gw.nvs", matching("whitelist_gamble"));
    dbs.add("p.nvs", matching("porno"));
    dbs.add("pw.nvs", matching("whitelist_porno", {host_record(1, 0, "other")}));

    std::vector<decision_t> decisions;
    const report_t report = dbs.check("http://a.b.c/", all_categories(), &decisions);
    EXPECT_EQ(report.categories, porno);
    EXPECT_EQ(report.legal_url, "");
    ASSERT_EQ(decisions.size(), 2u);
    EXPECT_EQ(decisions[0].category, porno);
    EXPECT_FALSE(decisions[0].whitelist);
    EXPECT_EQ(decisions[1].category, gamble);
    EXPECT_TRUE(decisions[1].whitelist);
    EXPECT_EQ(decisions[1].file, game_white);
    EXPECT_EQ(decisions[1].record_offset, game_white->content().offset_of(
                                              game_white->content().section(index::content_t::type_t::urls)->data));
}

TEST(CheckCategories, MasksAndTheUnnamedCategory)
{
    databases_t dbs;
    dbs.add("g.nvs", matching("gamble"));
    dbs.add("b.nvs", matching("black_list"));
    dbs.add("u.nvs", matching("no such category"));
    const struct {
        category_set_t mask;
        category_set_t found;
    } rows[] = {
        {0, 0},
        {black_list, black_list},
        {gamble | porno, gamble},
        {all_categories(), gamble | black_list},
        {category_unspecified, category_unspecified},
        {~0u, gamble | black_list | category_unspecified},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.mask);
        EXPECT_EQ(dbs.check("http://a.b.c/", row.mask).categories, row.found);
    }
    EXPECT_EQ(dbs.check("http://other/", ~0u).categories, 0u);
}

TEST(CheckCategories, PiracyLegalUrlSurvivesLaterCategories)
{
    const auto notice = noticed(host_record(2, 0, "b.c"), R"({"legalURL":"https://legal.example/"})");
    const struct {
        const char* what;
        std::vector<std::pair<const char*, database_spec_t>> files;
        category_set_t categories;
        const char* legal;
    } rows[] = {
        {"piracy alone", {{"p.nvs", matching("piracy", {notice})}}, category_piracy, "https://legal.example/"},
        {"later category database matches too",
         {{"p.nvs", matching("piracy", {notice})}, {"b.nvs", matching("black_list")}},
         category_piracy | black_list, "https://legal.example/"},
        {"later whitelist matches too",
         {{"p.nvs", matching("piracy", {notice})}, {"aw.nvs", matching("whitelist_anonymizer")},
          {"a.nvs", matching("anonymizer")}},
         category_piracy, "https://legal.example/"},
        {"earlier category matches too",
         {{"p.nvs", matching("piracy", {notice})}, {"g.nvs", matching("gamble")}},
         category_piracy | gamble, "https://legal.example/"},
        {"empty notice object", {{"p.nvs", matching("piracy", {noticed(host_record(2, 0, "b.c"), "{}")})}},
         category_piracy, ""},
        {"piracy whitelisted",
         {{"p.nvs", matching("piracy", {notice})}, {"pw.nvs", matching("whitelist_piracy", {notice})}}, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        databases_t dbs;
        for (const auto& [name, spec] : row.files)
            dbs.add(name, spec);
        const report_t report = dbs.check("http://a.b.c/", ~0u);
        EXPECT_EQ(report.categories, row.categories);
        EXPECT_EQ(report.legal_url, row.legal);
    }
}

TEST(CheckCategories, DatabasesOfASetAreTriedInPathOrder)
{
    databases_t dbs;
    // Both match; the one whose path sorts first decides the record.
    const auto second = dbs.add("b.nvs", matching("gamble", {host_record(1, 0, "c")}));
    const auto first = dbs.add("a.nvs", matching("gamble", {host_record(3, 0, "a.b.c")}));
    std::vector<decision_t> decisions;
    dbs.check("http://a.b.c/", gamble, &decisions);
    ASSERT_EQ(decisions.size(), 1u);
    EXPECT_EQ(decisions[0].file, first);
    (void)second;
}

// The plan leaves out categories whose databases were all taken away and
// keeps the others in ascending bit order, whitelists ahead of databases.
TEST(WalkPlan, LayoutFollowsTheMap)
{
    databases_t dbs;
    const auto g1 = dbs.add("g1.nvs", matching("gamble"));
    const auto g2 = dbs.add("g2.nvs", matching("gamble"));
    const auto wg = dbs.add("wg.nvs", matching("whitelist_gamble"));
    const auto p = dbs.add("p.nvs", matching("porno"));
    const auto b = dbs.add("b.nvs", matching("black_list"));
    dbs.remove(p);

    const walk_plan_t plan(dbs.map());
    EXPECT_EQ(plan.bits(), gamble | black_list);
    ASSERT_EQ(plan.categories().size(), 2u);
    const auto& first = plan.categories()[0];
    EXPECT_EQ(first.bit, gamble);
    const std::vector<std::shared_ptr<const file_t>> gamble_files(plan.files().begin() + first.first,
                                                                  plan.files().begin() + first.end);
    EXPECT_EQ(gamble_files, (std::vector<std::shared_ptr<const file_t>>{wg, g1, g2}));
    EXPECT_EQ(first.whitelists_end - first.first, 1u);
    EXPECT_EQ(plan.categories()[1].bit, black_list);
    EXPECT_EQ(plan.files().at(plan.categories()[1].first), b);

    // The emptied category and a mask of no loaded category find nothing either way.
    EXPECT_EQ(dbs.check("http://a.b.c/", porno).categories, 0u);
    EXPECT_EQ(dbs.check("http://a.b.c/", 1u << 7).categories, 0u);
    EXPECT_EQ(dbs.check("http://a.b.c/", gamble | porno).categories, 0u); // whitelisted
    EXPECT_EQ(dbs.check("http://a.b.c/", 0xFFFFFFFFu).categories, black_list);
    EXPECT_EQ(dbs.check("http://x.y/", 0xFFFFFFFFu).categories, 0u);

    const walk_plan_t empty{category_map_t{}};
    EXPECT_TRUE(empty.categories().empty());
    EXPECT_EQ(empty.bits(), 0u);
}

} // namespace
} // namespace nv::nvs
