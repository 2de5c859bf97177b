#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "support/json/Json.h"

#include <clocale>
#include <string>

using namespace wh::json;

TEST(JsonWriter, WritesEveryKindOfValueInTheExactForm)
{
    ObjectBuilder range;
    range.AddText("start_date", "2024-01-31").AddText("end_date", "2024-02-01");
    ObjectBuilder doc;
    doc.AddInteger("claim_version", 3)
        .AddText("claim_ver_date", "1899-12-30")
        .AddText("claimnumber", "12/345")
        .AddText("policy", "say \"hi\" C:\\x")
        .AddText("controls", std::string("\b\t\n\f\r|\x0B|\x01|\x1F|\0", 13))
        .AddText("insured", "Caf\xE9 \x80 5")
        .AddText("empty", "")
        .AddNumber("total_miles", 0)
        .AddNumber("total_hours", 12.5)
        .AddNumber("small", 1e-6)
        .AddNumber("big", 1.5e20)
        .AddNumber("whole", 3.0)
        .AddNumber("negative", -2.25)
        .AddInteger("claim_type", -7)
        .AddBoolean("yes", true)
        .AddBoolean("no", false)
        .AddNull("nothing")
        .AddObject("date_range", range)
        .AddObject("option", ObjectBuilder());

    EXPECT_EQ(doc.Text(),
              R"({"claim_version":3,"claim_ver_date":"1899-12-30","claimnumber":"12\/345",)"
              R"("policy":"say \"hi\" C:\\x","controls":"\b\t\n\f\r|\u000B|\u0001|\u001F|\u0000",)"
              "\"insured\":\"Caf\xC3\xA9 \xE2\x82\xAC 5\",\"empty\":\"\","
              R"("total_miles":0,"total_hours":12.5,"small":1E-6,"big":1.5E20,"whole":3,"negative":-2.25,)"
              R"("claim_type":-7,"yes":true,"no":false,"nothing":null,)"
              R"("date_range":{"start_date":"2024-01-31","end_date":"2024-02-01"},"option":{}})");
}

TEST(JsonWriter, KeepsMemberOrderAndReplacesARepeatedName)
{
    ObjectBuilder doc;
    doc.AddText("z", "1").AddText("a", "2").AddText("m", "3").AddText("a", "4");
    EXPECT_EQ(doc.Text(), R"({"z":"1","a":"4","m":"3"})");
    EXPECT_EQ(ObjectBuilder().Text(), "{}");
}

TEST(JsonWriter, FormatsNumbersInTheShortestGeneralForm)
{
    struct Case
    {
        double number;
        const char* text;
    };
    const Case cases[] = {
        { 0.0, "0" },
        { -0.0, "0" },
        { 3.0, "3" },
        { 12.5, "12.5" },
        { 0.1, "0.1" },
        { 0.3, "0.3" }, // 0.299999999999999988898 in binary
        { 2.675, "2.675" }, // 2.67499999999999982236431605997495353221893310546875
        { 1.0 / 3.0, "0.333333333333333" },
        { 2.0 / 3.0, "0.666666666666667" },
        { 100.0, "100" },
        { 1234567.125, "1234567.125" },
        { 123456789012345.0, "123456789012345" }, // 15 digits before the point: plain
        { 999999999999999.0, "999999999999999" },
        { 1e15, "1E15" }, // 16 digits: exponent form
        { 1234567890123456789.0, "1.23456789012346E18" },
        { 1.5e20, "1.5E20" },
        { -1.5e20, "-1.5E20" },
        { 0.00001, "0.00001" }, // the smallest plain magnitude
        { 0.000012345, "0.000012345" },
        { 0.0000099, "9.9E-6" },
        { 1e-6, "1E-6" },
        { -1e-6, "-1E-6" },
        { 1.25e-300, "1.25E-300" },
        { 9.9999999999999995e-6, "0.00001" }, // rounds up into the plain range
        { 9999999999999999.0, "1E16" }, // rounds up to 16 digits
        { 1e308, "1E308" },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatNumber(c.number), c.text) << "for " << c.text;
    }
}

TEST(JsonWriter, NumbersKeepTheirPointUnderACommaLocale)
{
    wh::test::TempTree tree;
    const std::string localeDir = tree.MakeDir("locales");
    if (wh::test::RunCommand({ "localedef", "-i", "de_DE", "-f", "UTF-8", localeDir + "/de_DE.UTF-8" }) != 0) {
        GTEST_SKIP() << "localedef cannot build a German locale on this machine";
    }
    wh::test::ScopedEnv path("LOCPATH", localeDir);
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const std::string probeText = probe;

    ObjectBuilder doc;
    doc.AddNumber("hours", 1234.5).AddNumber("tiny", 2.5e-7).AddNumber("huge", 2.5e18);
    const std::string text = doc.Text();
    std::setlocale(LC_ALL, previous.c_str());

    EXPECT_EQ(probeText, "1,5"); // the locale really was in force
    EXPECT_EQ(text, R"({"hours":1234.5,"tiny":2.5E-7,"huge":2.5E18})");
}

TEST(JsonWriter, NonFiniteNumbersBecomeNull)
{
    ObjectBuilder doc;
    doc.AddNumber("a", std::numeric_limits<double>::quiet_NaN())
        .AddNumber("b", -std::numeric_limits<double>::infinity());
    EXPECT_EQ(doc.Text(), R"({"a":null,"b":null})");
}

TEST(JsonParse, SkipsAByteOrderMarkAndKeepsMemberOrder)
{
    const auto value
        = Parse("\xEF\xBB\xBF{\"total\": 2, \"results\": [{\"id\": 57, \"z\": \"a\\/b\\u00e9\"}], \"a\": 1.5}");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(ToText(*value), "{\"total\":2,\"results\":[{\"id\":57,\"z\":\"a\\/b\xC3\xA9\"}],\"a\":1.5}");
    EXPECT_EQ((*value)["results"][0]["id"].get<int>(), 57);
}

TEST(JsonParse, InvalidTextGivesNoValue)
{
    const char* texts[] = {
        "",
        "\xEF\xBB\xBF",
        "Error Code : 500\r\nInternal Server Error",
        "{\"a\":1",
        "{\"a\":1}}",
        "{'a':1}",
        "[1,]",
        "{\"a\":\"\xC3\"}", // broken UTF-8 inside a string
    };
    for (const char* text : texts) {
        EXPECT_FALSE(Parse(text).has_value()) << text;
    }
    EXPECT_TRUE(Parse(" [] ").has_value());
}

TEST(JsonParse, MembersReadAsTheToolsOwnText)
{
    const auto value = Parse(R"({"msg":"Caf\u00e9 \u20ac","zip":12345,"rate":2.5,"id":"57","bad":"5x","none":null})");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(MemberText(*value, "msg"), "Caf\xE9 \x80");
    EXPECT_EQ(MemberText(*value, "zip"), "12345");
    EXPECT_EQ(MemberText(*value, "rate"), "2.5");
    EXPECT_EQ(MemberText(*value, "none"), "");
    EXPECT_EQ(MemberText(*value, "missing"), "");
    EXPECT_EQ(MemberInteger(*value, "zip"), 12345);
    EXPECT_EQ(MemberInteger(*value, "id"), 57);
    EXPECT_EQ(MemberInteger(*value, "rate"), std::nullopt);
    EXPECT_EQ(MemberInteger(*value, "bad"), std::nullopt);
    EXPECT_EQ(MemberInteger(*value, "missing"), std::nullopt);
    EXPECT_EQ(MemberText(Value::array(), "msg"), "");
}

// A server's number beyond the 64-bit range, or a text with more than a whole number in it, is no
// whole number: it must not come back as some other number.
TEST(JsonParse, MemberIntegerTakesOnlyWholeNumbersItCanHold)
{
    const auto value = Parse(R"({"max":9223372036854775807,"beyond":9223372036854775808,"top":18446744073709551615,)"
                             R"("nul":"5\u0000x","tab":"\t5","newline":"\n5","blank":" 5","after":"5 ","minus":"-5"})");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(MemberInteger(*value, "max"), 9223372036854775807LL);
    EXPECT_EQ(MemberInteger(*value, "minus"), -5);
    for (const char* name : { "beyond", "top", "nul", "tab", "newline", "blank", "after" }) {
        EXPECT_EQ(MemberInteger(*value, name), std::nullopt) << name;
    }
}
