#include "support/text/DateTime.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "support/text/StringUtil.h"

namespace wh::text {
namespace {

constexpr int kDaysTo18991230 = 693594; // days from 0001-01-01 (day 1) to 1899-12-30
constexpr double kMsPerDay = 86400000.0;

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Whole days and the milliseconds of the day, rounded to the nearest millisecond, with the
// convention that negative values count their fraction away from zero (as the tables do).
void SplitValue(DateTime dt, long long& days, long long& msOfDay)
{
    const double whole = std::trunc(dt.value);
    double fraction = std::fabs(dt.value - whole);
    days = static_cast<long long>(whole);
    msOfDay = std::llround(fraction * kMsPerDay);
    if (msOfDay >= static_cast<long long>(kMsPerDay)) {
        msOfDay -= static_cast<long long>(kMsPerDay);
        days += dt.value < 0 ? -1 : 1;
    }
}

DateConventions& ProcessConventions()
{
    static DateConventions conventions = StartupDateConventions();
    return conventions;
}

std::string Pad(int value, int width)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
    return buffer;
}

} // namespace

bool IsValidDate(int year, int month, int day)
{
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

DateTime EncodeDateTime(const DateParts& p)
{
    int days = p.day;
    for (int m = 1; m < p.month; ++m) {
        days += DaysInMonth(p.year, m);
    }
    const int y = p.year - 1;
    days += y * 365 + y / 4 - y / 100 + y / 400;
    const double dayValue = static_cast<double>(days - kDaysTo18991230);
    const double timeValue = (((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.millisecond) / kMsPerDay;
    return DateTime { dayValue >= 0 ? dayValue + timeValue : dayValue - timeValue };
}

DateParts DecodeDateTime(DateTime dt)
{
    long long days = 0;
    long long ms = 0;
    SplitValue(dt, days, ms);
    DateParts p;
    long long n = days + kDaysTo18991230 - 1; // days since 0001-01-01
    int year = 1;
    const long long n400 = n / 146097;
    n %= 146097;
    year += static_cast<int>(n400 * 400);
    long long n100 = n / 36524;
    if (n100 == 4) {
        n100 = 3;
    }
    n -= n100 * 36524;
    year += static_cast<int>(n100 * 100);
    const long long n4 = n / 1461;
    n %= 1461;
    year += static_cast<int>(n4 * 4);
    long long n1 = n / 365;
    if (n1 == 4) {
        n1 = 3;
    }
    n -= n1 * 365;
    year += static_cast<int>(n1);
    int month = 1;
    while (n >= DaysInMonth(year, month)) {
        n -= DaysInMonth(year, month);
        ++month;
    }
    p.year = year;
    p.month = month;
    p.day = static_cast<int>(n) + 1;
    p.hour = static_cast<int>(ms / 3600000);
    p.minute = static_cast<int>(ms / 60000 % 60);
    p.second = static_cast<int>(ms / 1000 % 60);
    p.millisecond = static_cast<int>(ms % 1000);
    return p;
}

DateConventions StartupDateConventions()
{
    return DateConventions {};
}

const DateConventions& CurrentDateConventions()
{
    return ProcessConventions();
}

void SetProcessDateConventions(const DateConventions& conventions)
{
    ProcessConventions() = conventions;
}

std::string FormatDateTime(std::string_view format, DateTime dt, const DateConventions& conventions)
{
    const DateParts p = DecodeDateTime(dt);
    const bool twelveHour = LowerCase(format).find("ampm") != std::string::npos;
    std::string out;
    std::size_t i = 0;
    auto runOf = [&](char letter) {
        std::size_t n = 0;
        while (i + n < format.size() && (format[i + n] == letter || format[i + n] == letter - 'a' + 'A')) {
            ++n;
        }
        return n;
    };
    while (i < format.size()) {
        const char c = format[i];
        const char lower = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
        if (lower == 'a' && EqualsIgnoreCase(format.substr(i, 4), "ampm")) {
            out += p.hour < 12 ? "AM" : "PM";
            i += 4;
        } else if (lower == 'y') {
            const std::size_t n = runOf('y');
            out += n <= 2 ? Pad(p.year % 100, 2) : Pad(p.year, 4);
            i += n;
        } else if (lower == 'm' || lower == 'd' || lower == 'h' || lower == 'n' || lower == 's') {
            const std::size_t n = runOf(lower);
            int value = 0;
            switch (lower) {
            case 'm':
                value = p.month;
                break;
            case 'd':
                value = p.day;
                break;
            case 'h':
                value = twelveHour ? (p.hour % 12 == 0 ? 12 : p.hour % 12) : p.hour;
                break;
            case 'n':
                value = p.minute;
                break;
            default:
                value = p.second;
                break;
            }
            out += Pad(value, n >= 2 ? 2 : 1);
            i += n;
        } else if (c == '/') {
            out.push_back(conventions.dateSeparator);
            ++i;
        } else if (c == ':') {
            out.push_back(conventions.timeSeparator);
            ++i;
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

std::string FormatIsoDate(DateTime dt)
{
    const DateParts parts = DecodeDateTime(dt);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", parts.year, parts.month, parts.day);
    return buffer;
}

std::string FormatShortDate(DateTime dt, const DateConventions& conventions)
{
    return FormatDateTime(conventions.shortDateFormat, dt, conventions);
}

std::string FormatLongTime(DateTime dt, const DateConventions& conventions)
{
    return FormatDateTime(conventions.longTimeFormat, dt, conventions);
}

std::string DateTimeToText(DateTime dt, const DateConventions& conventions)
{
    const DateParts p = DecodeDateTime(dt);
    std::string text = FormatShortDate(dt, conventions);
    if (p.hour != 0 || p.minute != 0 || p.second != 0) {
        text += ' ';
        text += FormatLongTime(dt, conventions);
    }
    return text;
}

int ExpandTwoDigitYear(int year, int currentYear, int window)
{
    if (window <= 0) {
        return year;
    }
    // Integer division truncates toward zero, so until the window's end the base century is 0
    // and the year stays as written.
    const int centuryBase = currentYear - window;
    year += centuryBase / 100 * 100;
    if (year < centuryBase) {
        year += 100;
    }
    return year;
}

std::optional<DateTime> ParseShortDate(std::string_view text, int currentYear, const DateConventions& conventions)
{
    // The order of day, month and year follows the short date format.
    std::vector<char> order;
    for (char c : LowerCase(conventions.shortDateFormat)) {
        if ((c == 'd' || c == 'm' || c == 'y') && (order.empty() || order.back() != c)) {
            order.push_back(c);
        }
    }
    if (order.size() != 3) {
        return std::nullopt;
    }
    const std::string trimmed = Trim(text);
    std::vector<std::string> pieces(1);
    for (char c : trimmed) {
        if (c == conventions.dateSeparator) {
            pieces.emplace_back();
        } else if (c >= '0' && c <= '9') {
            pieces.back().push_back(c);
        } else {
            return std::nullopt;
        }
    }
    if (pieces.size() != 3) {
        return std::nullopt;
    }
    int day = 0;
    int month = 0;
    int year = 0;
    bool shortYear = false;
    for (std::size_t k = 0; k < 3; ++k) {
        int value = 0;
        if (pieces[k].empty() || pieces[k].size() > 4 || !TryParseInt(pieces[k], value)) {
            return std::nullopt;
        }
        if (order[k] == 'd') {
            day = value;
        } else if (order[k] == 'm') {
            month = value;
        } else {
            year = value;
            shortYear = pieces[k].size() <= 2;
        }
    }
    if (shortYear) {
        year = ExpandTwoDigitYear(year, currentYear, conventions.twoDigitYearCenturyWindow);
    }
    if (!IsValidDate(year, month, day)) {
        return std::nullopt;
    }
    DateParts parts;
    parts.year = year;
    parts.month = month;
    parts.day = day;
    return EncodeDateTime(parts);
}

} // namespace wh::text
