// The server's list of auxiliary files as the tray command reads it: which rows it dates and how
// a date is shown.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "auxfiles/AuxTransfer.h"

using namespace wh;

TEST(AuxListTest, DatesShowAsMonthDayYearWhateverFollowsTheDay)
{
    const std::pair<std::string, std::string> cases[] = {
        { "2011-03-04", "03/04/2011" },
        { "2013-07-08T09:10:11", "07/08/2013" },
        { "2013-07-08 09:10:11.123", "07/08/2013" },
        { "2011-3-4", "3-//2011" }, // character positions, as the server's form is fixed
        { "2011", "//2011" },
        { "", "//" },
    };
    for (const auto& [date, shown] : cases) {
        EXPECT_EQ(auxfiles::ShownAuxDate(date), shown) << date;
    }
}

TEST(AuxListTest, ExactCodesDateTheirRowsAndALaterElementWins)
{
    const auto dates = auxfiles::ParseAuxList(R"([
        {"type": "ACT", "date_modified": "2010-01-02", "size": 12},
        {"type": "PHB", "date_modified": "2011-03-04"},
        {"type": "phb", "date_modified": "2012-05-06"},
        {"type": "ACT", "date_modified": "2013-07-08T09:10:11"},
        {"type": "CDI ", "date_modified": "2014-01-01"},
        {"type": "XYZ", "date_modified": "2014-01-01"}
    ])");
    ASSERT_TRUE(dates.has_value());
    EXPECT_EQ(*dates, (std::map<int, std::string> { { 1, "03/04/2011" }, { 2, "07/08/2013" } }));

    const auto none = auxfiles::ParseAuxList("[]");
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

TEST(AuxListTest, AListTheToolCannotReadIsRefusedWithTheReason)
{
    const char* cases[] = {
        R"({"type": "PHB", "date_modified": "2011-03-04"})",
        "No list here",
        R"([{"type": "PHB"}])",
        R"([{"date_modified": "2011-03-04"}])",
        R"([{"type": 1, "date_modified": "2011-03-04"}])",
        R"([{"type": "PHB", "date_modified": 20110304}])",
        R"(["PHB"])",
    };
    for (const char* list : cases) {
        std::string problem;
        EXPECT_FALSE(auxfiles::ParseAuxList(list, &problem).has_value()) << list;
        EXPECT_NE(problem.find("The server's list of auxiliary files"), std::string::npos) << list;
    }
}
