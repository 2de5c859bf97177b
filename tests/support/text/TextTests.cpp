#include <gtest/gtest.h>

#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"

using namespace wh::text;

TEST(Win1252, ConvertsToUtf8AndBack)
{
    struct Case
    {
        std::string cp1252;
        std::string utf8;
    };
    const Case cases[] = {
        { "plain", "plain" },
        { "caf\xE9", "caf\xC3\xA9" }, // e acute
        { "\x80 5", "\xE2\x82\xAC 5" }, // euro sign
        { "\x93q\x94", "\xE2\x80\x9Cq\xE2\x80\x9D" }, // curly quotes
        { "\x81", "\xC2\x81" }, // undefined byte keeps its value
        { "\xFF", "\xC3\xBF" },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Win1252ToUtf8(c.cp1252), c.utf8);
        EXPECT_EQ(Utf8ToWin1252(c.utf8), c.cp1252);
    }
}

TEST(Win1252, UnmappableAndBrokenUtf8BecomeQuestionMarks)
{
    EXPECT_EQ(Utf8ToWin1252("\xE4\xB8\xAD!"), "?!"); // a CJK character
    EXPECT_EQ(Utf8ToWin1252("a\xC3"), "a?"); // cut sequence
    EXPECT_EQ(Utf8ToWin1252("\x80x"), "?x"); // stray continuation byte
}

TEST(StringUtil, TrimsBlanksAndControlCharacters)
{
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(TrimRight("  x  "), "  x");
    EXPECT_EQ(TrimLeft("  x  "), "x  ");
    EXPECT_EQ(Trim("   "), "");
}

TEST(StringUtil, ParsesWholeIntegersOnly)
{
    int v = 0;
    EXPECT_TRUE(TryParseInt("60001", v));
    EXPECT_EQ(v, 60001);
    EXPECT_TRUE(TryParseInt("-7", v));
    EXPECT_EQ(v, -7);
    EXPECT_FALSE(TryParseInt("12a", v));
    EXPECT_FALSE(TryParseInt("", v));
    EXPECT_FALSE(TryParseInt(" 5", v));
    EXPECT_FALSE(TryParseInt("99999999999", v));
}

TEST(DateTime, EncodesAndDecodesKnownDays)
{
    EXPECT_EQ(EncodeDateTime({ 1899, 12, 30 }).value, 0.0);
    EXPECT_EQ(EncodeDateTime({ 1900, 1, 1 }).value, 2.0);
    EXPECT_EQ(EncodeDateTime({ 2000, 2, 29 }).value, 36585.0);
    const DateTime dt = EncodeDateTime({ 2026, 12, 10, 14, 5, 9, 250 });
    const DateParts p = DecodeDateTime(dt);
    EXPECT_EQ(p.year, 2026);
    EXPECT_EQ(p.month, 12);
    EXPECT_EQ(p.day, 10);
    EXPECT_EQ(p.hour, 14);
    EXPECT_EQ(p.minute, 5);
    EXPECT_EQ(p.second, 9);
    EXPECT_EQ(p.millisecond, 250);
}

TEST(DateTime, FormatsWithTheStartupConventions)
{
    const DateConventions c = StartupDateConventions();
    struct Case
    {
        DateParts parts;
        std::string text;
    };
    const Case cases[] = {
        { { 2026, 3, 4, 14, 5, 9 }, "03/04/2026 2:05:09 PM" },
        { { 2026, 3, 4, 0, 0, 0 }, "03/04/2026" }, // midnight drops the time part
        { { 2026, 3, 4, 0, 0, 1 }, "03/04/2026 12:00:01 AM" },
        { { 2026, 12, 31, 12, 30, 0 }, "12/31/2026 12:30:00 PM" },
        { { 1999, 1, 2, 23, 59, 59 }, "01/02/1999 11:59:59 PM" },
    };
    for (const Case& k : cases) {
        EXPECT_EQ(DateTimeToText(EncodeDateTime(k.parts), c), k.text);
    }
}

TEST(DateTime, TwoDigitYearsFollowTheCenturyWindow)
{
    // Until 2030 a two-digit year is the year itself; afterwards the window moves on.
    EXPECT_EQ(ExpandTwoDigitYear(26, 2026, 2030), 26);
    EXPECT_EQ(ExpandTwoDigitYear(99, 2029, 2030), 99);
    EXPECT_EQ(ExpandTwoDigitYear(0, 2031, 2030), 100);
    EXPECT_EQ(ExpandTwoDigitYear(5, 2031, 2030), 5);
    const auto parsed = ParseShortDate("03/04/26", 2026, StartupDateConventions());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(DecodeDateTime(*parsed).year, 26);
    const auto full = ParseShortDate("3/4/2026", 2026, StartupDateConventions());
    ASSERT_TRUE(full);
    EXPECT_EQ(FormatShortDate(*full, StartupDateConventions()), "03/04/2026");
    EXPECT_FALSE(ParseShortDate("02/30/2026", 2026, StartupDateConventions()));
    EXPECT_FALSE(ParseShortDate("2026-03-04", 2026, StartupDateConventions()));
}
