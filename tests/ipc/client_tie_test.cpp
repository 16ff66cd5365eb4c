// What a client session turns requests and reports into: the category mask of
// a request and the answer of a finished check.
#include <gtest/gtest.h>

#include <boost/asio/error.hpp>

#include "common/error.h"
#include "ipc/client_tie.h"
#include "ipc/url_check_context.h"
#include "proto/urlcheck_client_ipc.pb.h"

namespace nv::test {
namespace {

TEST(ClientTie, CategoryMaskOfARequest)
{
    struct row_t {
        std::vector<UrlCategory> categories;
        std::uint32_t mask;
    };
    const std::vector<row_t> rows{
        {{}, 0xFFFFFFFFu},
        {{UC_BLACK_LIST}, 0x20000000u},
        {{UC_INFECTION_SOURCE}, 0x1u},
        {{UC_JOBS}, 0x10000u},
        {{UC_GAMBLING, UC_OWNERS_NOTICE, UC_GAMBLING}, (1u << 5) | (1u << 12)},
    };
    for (const row_t& row : rows) {
        uc::ClientMessage request;
        for (const UrlCategory category : row.categories)
            request.add_categories(category);
        SCOPED_TRACE(request.ShortDebugString());
        EXPECT_EQ(uc::category_mask_of(request.categories()), row.mask);
    }
}

TEST(ClientTie, AnswerListsCategoriesInTheFixedOrderWithTheLegalUrl)
{
    struct row_t {
        std::uint32_t found;
        std::string legal_url;
        boost::system::error_code error;
        ErrorCode code;
        std::vector<int> categories;
    };
    const std::vector<row_t> rows{
        {(1u << 12) | (1u << 16) | (1u << 1), "", {}, EC_OK, {2, 13, 17}},
        {(1u << 0) | (1u << 12) | (1u << 13), "https://store.example/", {}, EC_OK, {1, 14, 13}},
        {(1u << 29) | (1u << 16) | (1u << 15) | (1u << 11), "", {}, EC_OK, {12, 16, 20, 17}},
        // "unspecified" has no wire value.
        {1u << 30, "", {}, EC_OK, {}},
        {0, "", make_error_code(EC_NO_NVS_BASES), EC_NO_NVS_BASES, {}},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(std::to_string(row.found));
        uc::UrlResult result;
        uc::fill_url_result(nvs::report_t{row.found, row.legal_url}, row.error, result);
        EXPECT_EQ(result.error(), row.code);
        EXPECT_EQ(std::vector<int>(result.categories().begin(), result.categories().end()), row.categories);
        EXPECT_EQ(result.has_piracy_legal_url(), !row.legal_url.empty());
        EXPECT_EQ(result.piracy_legal_url(), row.legal_url);
    }
}

TEST(ClientTie, VerdictSummaryOfTheLog)
{
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{}, {}), "None");
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{1u << 30, ""}, {}), "");
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{(1u << 29) | (1u << 5) | (1u << 12), ""}, {}),
              "Gambling, Copyright owner's notice, Black list");
    EXPECT_EQ(uc::verdict_summary(nvs::report_t{1u, ""}, make_error_code(EC_NO_NVS_BASES)),
              "Error: No web resource databases");
}

}  // namespace
}  // namespace nv::test
