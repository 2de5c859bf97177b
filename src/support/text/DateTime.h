#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace wh::text {

// The date-time of the claims tables and the log: days since 1899-12-30, the time of day as the
// fraction. Value 0 is the "zero date" that the tables use for an empty date.
struct DateTime
{
    double value = 0.0;

    friend bool operator==(const DateTime&, const DateTime&) = default;
};

struct DateParts
{
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

DateTime EncodeDateTime(const DateParts& parts);
DateParts DecodeDateTime(DateTime dt);
bool IsValidDate(int year, int month, int day);

// How dates and times turn into text and back. Format strings use the tokens d dd m mm yy yyyy
// (dates) and h hh n nn s ss ampm (times); any other character is copied.
struct DateConventions
{
    std::string shortDateFormat = "MM/DD/YYYY";
    char dateSeparator = '/';
    std::string longTimeFormat = "h:nn:ss AMPM";
    char timeSeparator = ':';
    // A window, not a pivot year: two-digit years fall in the hundred years ending at
    // (current year - window) + 99, the rule that the tool sets at start-up.
    int twoDigitYearCenturyWindow = 2030;
};

// The conventions that the tool sets at start-up: "MM/DD/YYYY", a 12-hour long time like
// 2:05:09 PM, and the 2030-year window for two-digit years.
DateConventions StartupDateConventions();

// The process-wide conventions. Their one owner is the program's start-up, which sets them once
// before any date is written; until then they are the start-up conventions too.
const DateConventions& CurrentDateConventions();
void SetProcessDateConventions(const DateConventions& conventions);

std::string FormatDateTime(std::string_view format, DateTime dt, const DateConventions& conventions);
std::string FormatShortDate(DateTime dt, const DateConventions& conventions = CurrentDateConventions());
// YYYY-MM-DD whatever the conventions, as documents and scripts read dates.
std::string FormatIsoDate(DateTime dt);
std::string FormatLongTime(DateTime dt, const DateConventions& conventions = CurrentDateConventions());

// Short date, one blank and the long time; the time part is left out when the time of day is
// exactly midnight.
std::string DateTimeToText(DateTime dt, const DateConventions& conventions = CurrentDateConventions());

// Reads a date in the short-date order (month, day, year for "MM/DD/YYYY"), applying the
// two-digit-year window relative to currentYear. Empty result for text that is no valid date.
std::optional<DateTime> ParseShortDate(std::string_view text, int currentYear,
                                       const DateConventions& conventions = CurrentDateConventions());

// The year a two-digit year stands for under the century window.
int ExpandTwoDigitYear(int year, int currentYear, int window);

} // namespace wh::text
