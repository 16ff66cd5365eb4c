// The key filter follows the loaded databases across reloads: rebuilt when a
// database is loaded, unloaded, replaced or the directory changes, kept as it
// is when nothing changed, and checks through it find what the databases hold.
#include "nvs/async/reload.h"
#include "nvs/find_in_set.h"
#include "nvs/index/keys.h"
#include "nvs/url/url.h"
#include "tests/support/nvs_database_spec.h"
#include "tests/support/nvs_engine_support.h"
#include "tests/support/nvs_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace nv::nvs::async {
namespace {

constexpr category_set_t gamble = 1u << 5, porno = 1u << 2;

void write_host_database(const std::string& path, const std::string& name, const std::string& host)
{
    test::write_database(path, test::database_spec_t{}.with_name(name).with_urls(
                                   {test::host_record(index::label_count(host), 0, host)}));
}

class ReloadFilter : public ::testing::Test {
protected:
    void reload(const std::string& dir) { reload_databases(estate_, dir); }

    // The categories of the URL, checked through the filter; the same without it.
    category_set_t categories(const std::string& text)
    {
        const url_t url(text);
        index::context_t filtered(url, estate_.filter.get()), plain(url);
        const auto with = check_categories(filtered, estate_.by_category, 0xFFFFFFFFu).categories;
        EXPECT_EQ(with, check_categories(plain, estate_.by_category, 0xFFFFFFFFu).categories) << text;
        return with;
    }

    bool held(const std::string& host) const { return estate_.filter->may_hold(index::md5_of(host)); }

    test::log_capture_t log_;
    test::temp_dir_t dir_;
    engine_t::estate_t estate_;
};

TEST_F(ReloadFilter, FollowsTheLoadedDatabases)
{
    write_host_database(dir_.file("a.nvs"), "gamble", "casino.example");
    reload(dir_.path());
    ASSERT_TRUE(estate_.filter);
    EXPECT_EQ(estate_.filter->key_count(), 1u);
    EXPECT_TRUE(held("casino.example"));
    EXPECT_EQ(categories("http://www.casino.example/"), gamble);

    // Nothing changed: the very same filter.
    const auto first = estate_.filter;
    reload(dir_.path());
    EXPECT_EQ(estate_.filter, first);

    // A new database: its keys are in the new filter.
    write_host_database(dir_.file("b.nvs"), "porno", "adult.example");
    reload(dir_.path());
    EXPECT_NE(estate_.filter, first);
    EXPECT_EQ(estate_.filter->key_count(), 2u);
    EXPECT_TRUE(held("adult.example"));
    EXPECT_EQ(categories("http://adult.example/x"), porno);

    // Replaced by rename: the new content's keys, not the old ones, decide.
    write_host_database(dir_.file("a.tmp"), "gamble", "poker.example");
    std::filesystem::rename(dir_.file("a.tmp"), dir_.file("a.nvs"));
    reload(dir_.path());
    EXPECT_TRUE(held("poker.example"));
    EXPECT_EQ(categories("http://poker.example/"), gamble);
    EXPECT_EQ(categories("http://casino.example/"), 0u);

    // Deleted: the filter shrinks to what is left.
    std::filesystem::remove(dir_.file("b.nvs"));
    reload(dir_.path());
    EXPECT_EQ(estate_.filter->key_count(), 1u);
    EXPECT_EQ(categories("http://adult.example/x"), 0u);

    // Another directory: only its databases.
    test::temp_dir_t other;
    write_host_database(other.file("c.nvs"), "porno", "other.example");
    reload(other.path());
    EXPECT_EQ(estate_.filter->key_count(), 1u);
    EXPECT_TRUE(held("other.example"));
    EXPECT_EQ(categories("http://poker.example/"), 0u);
    EXPECT_EQ(categories("http://other.example/"), porno);
}

TEST_F(ReloadFilter, EmptyOrMissingDirectoryGivesAFilterThatHoldsNothing)
{
    for (const std::string& dir : {std::string(), dir_.path(), dir_.file("missing")}) {
        SCOPED_TRACE(dir);
        engine_t::estate_t estate;
        reload_databases(estate, dir);
        ASSERT_TRUE(estate.filter);
        EXPECT_EQ(estate.filter->key_count(), 0u);
        EXPECT_FALSE(estate.filter->may_hold(index::md5_of("casino.example")));
    }
}

} // namespace
} // namespace nv::nvs::async
