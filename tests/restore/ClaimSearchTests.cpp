// The claim search: the query document, the date helpers, and answers of the scripted HTTPS server
// read into rows and messages. The scripted server answers BASE/status/200?body=B&x= with body B,
// so a session based there meets exactly the answer a test writes.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <tuple>

#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/Workstation.h"
#include "restore/ClaimSearch.h"
#include "support/json/Json.h"
#include "warehouse/WarehouseSession.h"

using namespace wh;
using namespace wh::restore;
using test::ReadFile;

namespace {

text::DateTime Day(int year, int month, int day)
{
    return text::EncodeDateTime({ year, month, day });
}

const std::string kFailed = "Error processing search query.\r\nServer Response ";
const std::string kNoResults
    = "Your search request produced no record results.\r\n\r\nPlease change your search criteria and try again.";

std::string MoreThan(int total)
{
    return "Your search request produced a result with \r\nmore than " + std::to_string(total)
        + " records.\r\n\r\nOnly the first 50 will be displayed";
}

// The criteria of the described example: empty boxes, "Date of Loss", March 1 to 17 of 2025, own claims.
ClaimSearchCriteria ExampleCriteria()
{
    ClaimSearchCriteria criteria;
    criteria.startDate = Day(2025, 3, 1);
    criteria.endDate = Day(2025, 3, 17);
    return criteria;
}

std::string UrlEncode(const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// An answer document with `total` and `count` results numbered from 1.
std::string Answer(int total, int count)
{
    json::Value results = json::Value::array();
    for (int id = 1; id <= count; ++id) {
        results.push_back({ { "id", id }, { "insured_lastname", "Insured" + std::to_string(id) } });
    }
    return json::Value { { "total", total }, { "results", results } }.dump();
}

class ClaimSearchTest : public ::testing::Test, protected test::Workstation
{
protected:
    ClaimSearchTest()
        : session(env)
    {
    }

    // The next search meets `body` as a 200 answer.
    void Answering(const std::string& body)
    {
        session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/status/200?body=" + UrlEncode(body) + "&x=");
    }

    std::optional<std::vector<ClaimSearchRow>> Search() { return RunClaimSearch(session, notice, ExampleCriteria()); }

    std::vector<std::string> Messages() const
    {
        std::vector<std::string> texts;
        for (const auto& message : notice.messages) {
            EXPECT_EQ(message.kind, MessageKind::Information) << message.text;
            texts.push_back(message.text);
        }
        return texts;
    }

    warehouse::WarehouseSession session;
};

} // namespace

TEST(ClaimSearchQuery, TheDescribedExampleByteForByte)
{
    EXPECT_EQ(BuildSearchQuery(ExampleCriteria()),
              "{\"insured_lastname\":\"\",\"adjuster_lastname\":\"\",\"policy_num\":\"\",\"claim_num\":\"\","
              "\"date_range\":{\"field\":\"date_of_loss\",\"start_date\":\"2025-03-01\",\"end_date\":\"2025-03-17\"},"
              "\"option\":{\"search_scope\":\"user\"}}");
}

TEST(ClaimSearchQuery, BoxesAreLoweredInAToZOnlyAndChoicesMapToTheirValues)
{
    struct Case
    {
        const char* name;
        void (*change)(ClaimSearchCriteria&);
        std::string expected; // the query with the example's defaults around the change
    };
    const std::string names = "\"adjuster_lastname\":\"\",\"policy_num\":\"\",\"claim_num\":\"\",";
    const std::string range = "\"start_date\":\"2025-03-01\",\"end_date\":\"2025-03-17\"}";
    const std::string user = ",\"option\":{\"search_scope\":\"user\"}}";
    const Case cases[] = {
        { "Smith", [](ClaimSearchCriteria& c) { c.insuredLast = "Smith"; },
          "{\"insured_lastname\":\"smith\"," + names + "\"date_range\":{\"field\":\"date_of_loss\"," + range + user },
        // Windows-1252 "Müller": the ü stays as typed and goes out as UTF-8.
        { "Mueller", [](ClaimSearchCriteria& c) { c.insuredLast = "M\xFCLLER"; },
          "{\"insured_lastname\":\"m\xC3\xBCller\"," + names + "\"date_range\":{\"field\":\"date_of_loss\"," + range
              + user },
        { "all boxes",
          [](ClaimSearchCriteria& c) {
              c.insuredLast = "O'Neil";
              c.adjusterLast = "Van \xC0ZZ";
              c.policyNumber = "HO-55A \"x\"";
              c.claimNumber = "CLM-00001";
          },
          "{\"insured_lastname\":\"o'neil\",\"adjuster_lastname\":\"van \xC3\x80zz\",\"policy_num\":\"ho-55a "
          "\\\"x\\\"\",\"claim_num\":\"clm-00001\",\"date_range\":{\"field\":\"date_of_loss\","
              + range + user },
        { "last date kind, company",
          [](ClaimSearchCriteria& c) {
              c.dateKindIndex = 6;
              c.scopeIndex = 1;
          },
          "{\"insured_lastname\":\"\"," + names + "\"date_range\":{\"field\":\"date_last_uploaded\"," + range
              + ",\"option\":{\"search_scope\":\"company\"}}" },
        { "nothing chosen",
          [](ClaimSearchCriteria& c) {
              c.dateKindIndex = -1;
              c.scopeIndex = -1;
          },
          "{\"insured_lastname\":\"\"," + names + "\"date_range\":{" + range + ",\"option\":{}}" },
        { "early years keep four digits",
          [](ClaimSearchCriteria& c) {
              c.startDate = Day(987, 1, 2);
              c.dateKindIndex = 2;
          },
          "{\"insured_lastname\":\"\"," + names
              + "\"date_range\":{\"field\":\"date_assigned\",\"start_date\":\"0987-01-02\",\"end_date\":\"2025-03-17\"}"
              + user },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClaimSearchCriteria criteria = ExampleCriteria();
        c.change(criteria);
        EXPECT_EQ(BuildSearchQuery(criteria), c.expected);
    }
}

TEST(ClaimSearchQuery, DateKindsInListOrder)
{
    const auto& kinds = DateKindChoices();
    ASSERT_EQ(kinds.size(), 7u);
    const std::pair<std::string, std::string> expected[] = {
        { "Date of Loss", "date_of_loss" },
        { "Date Received", "date_received" },
        { "Date Assigned", "date_assigned" },
        { "Date Inspected", "date_inspected" },
        { "Date Closed", "date_closed" },
        { "Date 1st Uploaded", "date_first_uploaded" },
        { "Date Last Uploaded", "date_last_uploaded" },
    };
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(kinds[i].caption, expected[i].first);
        EXPECT_EQ(kinds[i].kind, expected[i].second);
    }
}

TEST(ClaimSearchDates, ReformatDateTakesThePartsByPosition)
{
    const std::pair<std::string, std::string> cases[] = {
        { "2024-03-05", "03/05/2024" },
        { "2024-03-05T10:20:00", "03/05/2024" },
        { "2024/12/31", "12/31/2024" }, // separators play no part
        { "2024-07-4", "07/04/2024" }, // a one-character day gets its zero
        { "2024-7-4", "7-//2024" }, // which is no date
        { "2024", "//2024" },
        { "24", "//24" },
        { "", "//" },
    };
    for (const auto& [dateText, expected] : cases) {
        EXPECT_EQ(ReformatDate(dateText, "yyyy-mm-dd"), expected) << dateText;
    }
    EXPECT_EQ(ReformatDate("2024-03-05", "YYYY-MM-DD"), "03/05/2024");
    EXPECT_EQ(ReformatDate("05.03.2024", "dd.mm.yyyy"), "03/05/2024");
}

TEST(ClaimSearchDates, ExtractDatePartCollectsThePatternsPositions)
{
    EXPECT_EQ(ExtractDatePart('m', "2024-03-05", "yyyy-mm-dd"), "03");
    EXPECT_EQ(ExtractDatePart('M', "2024-03-05", "yyyy-mm-dd"), "03");
    EXPECT_EQ(ExtractDatePart('y', "2024-03-05", "yyyy-mm-dd"), "2024");
    EXPECT_EQ(ExtractDatePart('d', "2024-03-0", "yyyy-mm-dd"), "0");
    EXPECT_EQ(ExtractDatePart('y', "2024-03-05", "dd-mm-yyyy"), "3-05");
    EXPECT_EQ(ExtractDatePart('m', "2024", "yyyy-mm-dd"), "");
    EXPECT_EQ(ExtractDatePart('x', "2024-03-05", "yyyy-mm-dd"), "");
}

TEST(ClaimSearchDates, FirstDayOfMonthKeepsTheTimeOfDay)
{
    const std::pair<text::DateParts, text::DateParts> cases[] = {
        { { 2025, 3, 17 }, { 2025, 3, 1 } },
        { { 2025, 3, 1 }, { 2025, 3, 1 } },
        { { 2024, 2, 29, 14, 5, 9 }, { 2024, 2, 1, 14, 5, 9 } },
        { { 2024, 12, 31, 23, 59, 59, 999 }, { 2024, 12, 1, 23, 59, 59, 999 } },
        { { 1899, 12, 30 }, { 1899, 12, 1 } },
        { { 1850, 6, 15, 12, 0, 0 }, { 1850, 6, 1, 12, 0, 0 } }, // before the day count's origin
    };
    for (const auto& [date, expected] : cases) {
        const text::DateTime first = FirstDayOfMonth(text::EncodeDateTime(date));
        const text::DateParts parts = text::DecodeDateTime(first);
        EXPECT_EQ(std::make_tuple(parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second,
                                  parts.millisecond),
                  std::make_tuple(expected.year, expected.month, expected.day, expected.hour, expected.minute,
                                  expected.second, expected.millisecond))
            << date.year << "-" << date.month << "-" << date.day;
    }
}

TEST_F(ClaimSearchTest, SendsTheQueryAndKeepsItsCopy)
{
    session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/echo");
    ClaimSearchCriteria criteria = ExampleCriteria();
    criteria.insuredLast = "Smith";
    const auto rows = RunClaimSearch(session, notice, criteria);
    const std::string sent = BuildSearchQuery(criteria);
    EXPECT_EQ(ReadFile(ClaimsPath("Warehouse/Uploads/ClaimSearch.json")), sent);
    // The echo is an object without "total": no rows, and the no-result message.
    ASSERT_TRUE(rows.has_value());
    EXPECT_TRUE(rows->empty());
    EXPECT_EQ(Messages(), std::vector<std::string> { kNoResults });
}

TEST_F(ClaimSearchTest, TotalDecidesTheMessagesAndEveryResultBecomesARow)
{
    struct Case
    {
        int total;
        int count;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        { 120, 50, { MoreThan(120) } }, { 3, 60, {} }, // the list is not cut at 50
        { 51, 2, { MoreThan(51) } },    { 50, 50, {} },
        { 0, 0, { kNoResults } },       { 0, 2, { kNoResults } }, // the test is on "total", not on the rows
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + " of " + std::to_string(c.count));
        notice.messages.clear();
        Answering(Answer(c.total, c.count));
        const auto rows = Search();
        ASSERT_TRUE(rows.has_value());
        EXPECT_EQ(Messages(), c.messages);
        ASSERT_EQ(rows->size(), static_cast<std::size_t>(c.count));
        for (int i = 0; i < c.count; ++i) {
            EXPECT_EQ((*rows)[i].claimUid, i + 1);
            EXPECT_EQ((*rows)[i].primInsLastName, "Insured" + std::to_string(i + 1));
        }
    }
}

TEST_F(ClaimSearchTest, MembersBecomeFieldTexts)
{
    Answering(R"({"total":3,"results":[
        {"id":101,"adjuster_lastname":"Jones","insured_lastname":"Abcdefghijklmnopqrstuvwxyz","claim_num":"CLM-1",
         "policy_num":"HO-55","loss_state":"Texas","loss_zipcode":12345,"date_of_loss":"2024-07-04"},
        {"id":102,"adjuster_lastname":null,"insured_lastname":"M\u00fcller","claim_num":7.0,"policy_num":12.5,
         "loss_city":"Oklahoma City","loss_state":"OK","loss_zipcode":"731019999999","date_of_loss":"2024-7-4"},
        {"id":-3,"loss_city":{"name":"x"},"loss_state":["OK"],"loss_zipcode":true,
         "date_of_loss":"2024-02-30"}]})");
    const auto rows = Search();
    ASSERT_TRUE(rows.has_value());
    EXPECT_TRUE(notice.messages.empty());
    ASSERT_EQ(rows->size(), 3u);

    const ClaimSearchRow& first = (*rows)[0];
    EXPECT_EQ(first.claimUid, 101);
    EXPECT_EQ(first.adjLastName, "Jones");
    EXPECT_EQ(first.primInsLastName, "Abcdefghijklmnopqrst"); // cut to 20
    EXPECT_EQ(first.claimNumber, "CLM-1");
    EXPECT_EQ(first.policyNumber, "HO-55");
    EXPECT_EQ(first.lossCity, ""); // missing: empty, the others filled
    EXPECT_EQ(first.lossState, "Te");
    EXPECT_EQ(first.lossZipcode, "12345");
    EXPECT_EQ(first.dateOfLoss, Day(2024, 7, 4));

    const ClaimSearchRow& second = (*rows)[1];
    EXPECT_EQ(second.claimUid, 102);
    EXPECT_EQ(second.adjLastName, ""); // null
    EXPECT_EQ(second.primInsLastName, "M\xFCller"); // back in Windows-1252
    EXPECT_EQ(second.claimNumber, "7"); // an integral number without a decimal point
    EXPECT_EQ(second.policyNumber, "12.5");
    EXPECT_EQ(second.lossCity, "Oklahoma City");
    EXPECT_EQ(second.lossZipcode, "7310199999"); // cut to 10
    EXPECT_EQ(second.dateOfLoss, std::nullopt); // 2024-7-4 is not laid out as yyyy-mm-dd

    const ClaimSearchRow& third = (*rows)[2];
    EXPECT_EQ(third.claimUid, -3);
    EXPECT_EQ(third.lossCity, "");
    EXPECT_EQ(third.lossState, "");
    EXPECT_EQ(third.lossZipcode, "true");
    EXPECT_EQ(third.dateOfLoss, std::nullopt); // no such day
}

TEST_F(ClaimSearchTest, DatesOfLossAsTheWindowShowsThem)
{
    const std::pair<std::string, std::optional<text::DateTime>> cases[] = {
        { "\"2024-07-04\"", Day(2024, 7, 4) },
        { "\"2024-07-04T10:20:00Z\"", Day(2024, 7, 4) },
        { "\"2024/07/04\"", Day(2024, 7, 4) },
        { "\"2024-07-4\"", Day(2024, 7, 4) },
        { "\"2024-7-4\"", std::nullopt },
        { "\"07/04/2024\"", std::nullopt },
        { "\"2024-13-01\"", std::nullopt },
        { "\"\"", std::nullopt },
        { "null", std::nullopt },
        { "20240704", std::nullopt },
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        Answering("{\"total\":1,\"results\":[{\"id\":1,\"date_of_loss\":" + value + "}]}");
        const auto rows = Search();
        ASSERT_TRUE(rows.has_value());
        ASSERT_EQ(rows->size(), 1u);
        EXPECT_EQ(rows->front().dateOfLoss, expected);
    }
}

TEST_F(ClaimSearchTest, ElementsThatNameNoClaimAreLeftOut)
{
    Answering(R"({"total":7,"results":[1,"x",null,{"id":"7"},{"id":2.5},{"name":"no id"},{"id":4294967296},
                  {"id":9,"claim_num":"CLM-9"}]})");
    const auto rows = Search();
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(rows->front().claimUid, 9);
    EXPECT_EQ(rows->front().claimNumber, "CLM-9");
    EXPECT_TRUE(notice.messages.empty());
}

TEST_F(ClaimSearchTest, AnswersThatAreNoSearchResultFailTheSearch)
{
    const std::string bom = "\xEF\xBB\xBF";
    const std::pair<std::string, std::string> failures[] = {
        { "Internal trouble", "Internal trouble" },
        { "[1,2]", "[1,2]" },
        { "{\"total\":1,\"results\":{\"id\":1}}", "{\"total\":1,\"results\":{\"id\":1}}" },
        { "{\"total\":", "{\"total\":" },
    };
    for (const auto& [body, shown] : failures) {
        SCOPED_TRACE(body);
        notice.messages.clear();
        Answering(body);
        EXPECT_EQ(Search(), std::nullopt);
        EXPECT_EQ(Messages(), std::vector<std::string> { kFailed + shown });
    }

    // A leading byte-order mark is no failure; a missing list is an empty one.
    notice.messages.clear();
    Answering(bom + "{\"total\":0}");
    const auto rows = Search();
    ASSERT_TRUE(rows.has_value());
    EXPECT_TRUE(rows->empty());
    EXPECT_EQ(Messages(), std::vector<std::string> { kNoResults });
}

TEST_F(ClaimSearchTest, FailedRequestsShowTheReturnedText)
{
    session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/status/500");
    EXPECT_EQ(Search(), std::nullopt);
    EXPECT_EQ(Messages(), std::vector<std::string> { kFailed + "Error Code : 500\r\nInternal Server Error" });

    // Unreachable: the client's error number, a line break and its text, which names the port.
    notice.messages.clear();
    const int port = test::ClosedLoopbackPort();
    session.SetServerBase("https://127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(Search(), std::nullopt);
    ASSERT_EQ(notice.messages.size(), 1u);
    const std::string prefix = kFailed + "Error Code : 7\r\n";
    const std::string& shown = notice.messages.front().text;
    EXPECT_EQ(shown.substr(0, prefix.size()), prefix);
    EXPECT_NE(shown.find("port " + std::to_string(port), prefix.size()), std::string::npos) << shown;

    // A failure that is not an HTTP failure returns empty text: the message ends after "Response ".
    notice.messages.clear();
    session.Release();
    EXPECT_EQ(Search(), std::nullopt);
    EXPECT_EQ(Messages(), std::vector<std::string> { kFailed });
    EXPECT_NE(ReadFile(ClaimsPath("Warehouse/PostClaimSearchLog.txt")).find("~~~~~Claim JSON DATA  @ "),
              std::string::npos);
}
