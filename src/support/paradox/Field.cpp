#include "support/Errors.h"
#include "support/paradox/Encoding.h"
#include "support/paradox/Table.h"
#include "support/text/StringUtil.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace wh::paradox {

using namespace encoding;

namespace {

constexpr std::int64_t kDaysTo18991230 = 693594; // day number of 1899-12-30 (1 = 0001-01-01)
constexpr double kMsPerDay = 86400000.0;

text::DateTime FromDayAndMs(std::int64_t dayNumber, double msOfDay)
{
    const double days = static_cast<double>(dayNumber - kDaysTo18991230);
    const double fraction = msOfDay / kMsPerDay;
    return { days >= 0 ? days + fraction : days - fraction };
}

void ToDayAndMs(text::DateTime dt, std::int64_t& dayNumber, std::int64_t& msOfDay)
{
    const double whole = std::trunc(dt.value);
    std::int64_t days = static_cast<std::int64_t>(whole);
    msOfDay = std::llround(std::fabs(dt.value - whole) * kMsPerDay);
    if (msOfDay >= static_cast<std::int64_t>(kMsPerDay)) {
        msOfDay -= static_cast<std::int64_t>(kMsPerDay);
        days += dt.value < 0 ? -1 : 1;
    }
    dayNumber = days + kDaysTo18991230;
}

std::string ShortestNumber(double value)
{
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

bool ParseNumber(std::string_view text, double& value)
{
    const std::string trimmed = text::Trim(text);
    if (trimmed.empty()) {
        return false;
    }
    const char* begin = trimmed.data();
    if (*begin == '+') {
        ++begin;
    }
    const auto result = std::from_chars(begin, trimmed.data() + trimmed.size(), value);
    return result.ec == std::errc() && result.ptr == trimmed.data() + trimmed.size();
}

// "h:mm[:ss[.zzz]] [AM|PM]" as milliseconds of the day; -1 when the text is no time.
std::int64_t ParseTimeOfDay(std::string_view text)
{
    std::string t = text::UpperCase(text::Trim(text));
    int pm = -1;
    if (t.size() >= 2 && (t.ends_with("AM") || t.ends_with("PM"))) {
        pm = t.ends_with("PM") ? 1 : 0;
        t = text::Trim(t.substr(0, t.size() - 2));
    }
    int parts[3] = { 0, 0, 0 };
    int ms = 0;
    int count = 0;
    std::size_t i = 0;
    while (count < 3) {
        std::size_t start = i;
        int value = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9' && i - start < 4) {
            value = value * 10 + (t[i] - '0');
            ++i;
        }
        if (i == start) {
            return -1;
        }
        parts[count++] = value;
        if (i < t.size() && t[i] == ':') {
            ++i;
            continue;
        }
        break;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        int digits = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            if (digits < 3) {
                ms = ms * 10 + (t[i] - '0');
                ++digits;
            }
            ++i;
        }
        while (digits++ < 3) {
            ms *= 10;
        }
    }
    if (i != t.size() || count < 2) {
        return -1;
    }
    int hour = parts[0];
    if (pm >= 0) {
        if (hour < 1 || hour > 12) {
            return -1;
        }
        hour = hour % 12 + (pm == 1 ? 12 : 0);
    }
    if (hour > 23 || parts[1] > 59 || parts[2] > 59) {
        return -1;
    }
    return ((hour * 60LL + parts[1]) * 60 + parts[2]) * 1000 + ms;
}

int CurrentYear()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

} // namespace

const std::uint8_t* Field::Raw() const
{
    return m_table->m_current.data() + m_offset;
}

std::uint8_t* Field::MutableRaw()
{
    if (!m_table->IsEditing()) {
        m_table->Fail("the table is not in edit mode (field \"" + m_name + "\").");
    }
    return m_table->m_current.data() + m_offset;
}

bool Field::IsBlob() const
{
    return m_type == FieldType::Memo || m_type == FieldType::Blob || m_type == FieldType::FmtMemo
        || m_type == FieldType::Ole || m_type == FieldType::Graphic;
}

bool Field::CanModify() const
{
    return m_type != FieldType::AutoInc;
}

bool Field::IsNull() const
{
    if (IsBlob()) {
        const auto pending = m_table->m_pendingBlobs.find(m_index);
        if (pending != m_table->m_pendingBlobs.end()) {
            return pending->second.empty();
        }
        return GetU32(Raw() + m_width - 6) == 0;
    }
    if (m_type == FieldType::Bcd || m_type == FieldType::Alpha) {
        return Raw()[0] == 0;
    }
    return IsZero(Raw(), m_width);
}

std::string Field::AsBytes() const
{
    if (IsBlob()) {
        const auto pending = m_table->m_pendingBlobs.find(m_index);
        if (pending != m_table->m_pendingBlobs.end()) {
            return pending->second;
        }
        return m_table->ReadBlob(*this, Raw());
    }
    if (m_type == FieldType::Bytes) {
        if (IsNull()) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(Raw()), static_cast<std::size_t>(m_width));
    }
    return AsText();
}

std::string Field::AsText() const
{
    if (IsNull()) {
        return {};
    }
    const std::uint8_t* raw = Raw();
    switch (m_type) {
    case FieldType::Alpha: {
        const void* end = std::memchr(raw, 0, static_cast<std::size_t>(m_width));
        const auto length = end ? static_cast<const std::uint8_t*>(end) - raw : m_width;
        return std::string(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(length));
    }
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::AutoInc:
        return std::to_string(AsInteger());
    case FieldType::Currency:
    case FieldType::Number:
        return ShortestNumber(AsFloat());
    case FieldType::Bcd: {
        // 15 digits: the low digits of a BCD value may hold leftovers of the engine's conversion.
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.15g", AsFloat());
        return buffer;
    }
    case FieldType::Logical:
        return raw[0] == 0x81 ? "True" : "False";
    case FieldType::Date:
        return text::FormatShortDate(AsDateTime());
    case FieldType::Time:
        return text::FormatLongTime(AsDateTime());
    case FieldType::Timestamp:
        return text::DateTimeToText(AsDateTime());
    case FieldType::Bytes:
    case FieldType::Memo:
    case FieldType::Blob:
    case FieldType::FmtMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return AsBytes();
    }
    return {};
}

std::int64_t Field::AsInteger() const
{
    if (IsNull()) {
        return 0;
    }
    switch (m_type) {
    case FieldType::Short:
        return DecodeInteger(Raw(), 2).value_or(0);
    case FieldType::Long:
    case FieldType::AutoInc:
        return DecodeInteger(Raw(), 4).value_or(0);
    case FieldType::Logical:
        return Raw()[0] == 0x81 ? 1 : 0;
    case FieldType::Currency:
    case FieldType::Number:
    case FieldType::Bcd:
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::Timestamp: {
        const double value = AsFloat();
        if (!(std::fabs(value) < 9.2e18)) {
            m_table->Fail("the value of field \"" + m_name + "\" does not fit an integer.");
        }
        return std::llround(value);
    }
    default: {
        double value = 0;
        if (!ParseNumber(AsText(), value) || !(std::fabs(value) < 9.2e18)) {
            m_table->Fail("\"" + AsText() + "\" in field \"" + m_name + "\" is not a valid integer.");
        }
        return std::llround(value);
    }
    }
}

double Field::AsFloat() const
{
    if (IsNull()) {
        return 0.0;
    }
    switch (m_type) {
    case FieldType::Currency:
    case FieldType::Number:
        return DecodeDouble(Raw()).value_or(0.0);
    case FieldType::Bcd:
        return DecodeBcd(Raw()).value_or(0.0);
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::AutoInc:
    case FieldType::Logical:
        return static_cast<double>(AsInteger());
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::Timestamp:
        return AsDateTime().value;
    default: {
        double value = 0;
        if (!ParseNumber(AsText(), value)) {
            m_table->Fail("\"" + AsText() + "\" in field \"" + m_name + "\" is not a valid number.");
        }
        return value;
    }
    }
}

text::DateTime Field::AsDateTime() const
{
    if (IsNull()) {
        return {};
    }
    switch (m_type) {
    case FieldType::Date:
        return FromDayAndMs(DecodeInteger(Raw(), 4).value_or(0), 0);
    case FieldType::Time:
        return { static_cast<double>(DecodeInteger(Raw(), 4).value_or(0)) / kMsPerDay };
    case FieldType::Timestamp: {
        const double ms = DecodeDouble(Raw()).value_or(0.0);
        if (!std::isfinite(ms) || std::fabs(ms) > 1e18) {
            m_table->Fail("the value of field \"" + m_name + "\" is not a valid timestamp.");
        }
        const double day = std::floor(ms / kMsPerDay);
        return FromDayAndMs(static_cast<std::int64_t>(day), ms - day * kMsPerDay);
    }
    case FieldType::Alpha:
    case FieldType::Memo: {
        const std::string textValue = AsText();
        const auto date = text::ParseShortDate(textValue.substr(0, textValue.find(' ')), CurrentYear());
        if (!date) {
            m_table->Fail("\"" + textValue + "\" in field \"" + m_name + "\" is not a valid date.");
        }
        return *date;
    }
    default:
        return { AsFloat() };
    }
}

bool Field::AsBoolean() const
{
    if (IsNull()) {
        return false;
    }
    if (m_type == FieldType::Logical) {
        return Raw()[0] == 0x81;
    }
    const std::string value = text::UpperCase(text::Trim(AsText()));
    return value == "TRUE" || value == "T" || value == "YES" || value == "Y" || (value != "0" && AsFloat() != 0.0);
}

void Field::Clear()
{
    std::uint8_t* raw = MutableRaw();
    if (IsBlob()) {
        m_table->m_pendingBlobs[m_index].clear();
        return;
    }
    std::memset(raw, 0, static_cast<std::size_t>(m_width));
}

void Field::SetText(std::string_view value)
{
    MutableRaw();
    if (IsBlob() || m_type == FieldType::Bytes) {
        SetBytes(value);
        return;
    }
    if (m_type == FieldType::Alpha) {
        std::uint8_t* raw = MutableRaw();
        std::memset(raw, 0, static_cast<std::size_t>(m_width));
        const std::size_t length = std::min(value.size(), static_cast<std::size_t>(m_width));
        std::memcpy(raw, value.data(), length);
        // A NUL inside the text ends the stored value, as in every Paradox reader.
        return;
    }
    const std::string trimmed = text::Trim(value);
    if (trimmed.empty()) {
        Clear();
        return;
    }
    auto invalid = [&](const char* kind) {
        m_table->Fail("\"" + std::string(value) + "\" is not a valid " + kind + " for field \"" + m_name + "\".");
    };
    switch (m_type) {
    case FieldType::Logical: {
        const std::string upper = text::UpperCase(trimmed);
        if (upper == "TRUE" || upper == "T" || upper == "YES" || upper == "Y" || upper == "1") {
            SetBoolean(true);
        } else if (upper == "FALSE" || upper == "F" || upper == "NO" || upper == "N" || upper == "0") {
            SetBoolean(false);
        } else {
            invalid("logical value");
        }
        return;
    }
    case FieldType::Date:
    case FieldType::Timestamp: {
        const auto blank = trimmed.find(' ');
        const auto date = text::ParseShortDate(trimmed.substr(0, blank), CurrentYear());
        if (!date) {
            invalid("date");
        }
        std::int64_t ms = 0;
        if (blank != std::string::npos) {
            ms = ParseTimeOfDay(trimmed.substr(blank + 1));
            if (ms < 0 || m_type == FieldType::Date) {
                invalid("date");
            }
        }
        std::int64_t day = 0;
        std::int64_t unused = 0;
        ToDayAndMs(*date, day, unused);
        SetDateTime(FromDayAndMs(day, static_cast<double>(ms)));
        return;
    }
    case FieldType::Time: {
        const std::int64_t ms = ParseTimeOfDay(trimmed);
        if (ms < 0) {
            invalid("time");
        }
        SetDateTime({ static_cast<double>(ms) / kMsPerDay });
        return;
    }
    default: {
        double number = 0;
        if (!ParseNumber(trimmed, number)) {
            invalid("number");
        }
        if (m_type == FieldType::Short || m_type == FieldType::Long || m_type == FieldType::AutoInc) {
            if (number != std::trunc(number) || !(std::fabs(number) < 9.2e18)) {
                invalid("integer");
            }
            SetInteger(static_cast<std::int64_t>(number));
        } else {
            SetFloat(number);
        }
        return;
    }
    }
}

void Field::SetInteger(std::int64_t value)
{
    std::uint8_t* raw = MutableRaw();
    switch (m_type) {
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::AutoInc:
        if (!EncodeInteger(raw, m_width, value)) {
            m_table->Fail(std::to_string(value) + " is out of range for field \"" + m_name + "\".");
        }
        return;
    case FieldType::Alpha:
    case FieldType::Memo:
    case FieldType::FmtMemo:
        SetText(std::to_string(value));
        return;
    case FieldType::Logical:
        SetBoolean(value != 0);
        return;
    default:
        SetFloat(static_cast<double>(value));
        return;
    }
}

void Field::SetFloat(double value)
{
    std::uint8_t* raw = MutableRaw();
    switch (m_type) {
    case FieldType::Currency:
    case FieldType::Number:
        if (!std::isfinite(value)) {
            m_table->Fail("field \"" + m_name + "\" cannot hold an infinite number.");
        }
        EncodeDouble(raw, value);
        return;
    case FieldType::Bcd:
        if (!EncodeBcd(raw, m_size, value)) {
            m_table->Fail(ShortestNumber(value) + " is out of range for field \"" + m_name + "\".");
        }
        return;
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::AutoInc:
        if (!(std::fabs(value) < 9.2e18)) {
            m_table->Fail("the number is out of range for field \"" + m_name + "\".");
        }
        SetInteger(std::llround(value));
        return;
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::Timestamp:
        SetDateTime({ value });
        return;
    case FieldType::Logical:
        SetBoolean(value != 0.0);
        return;
    default:
        SetText(ShortestNumber(value));
        return;
    }
}

void Field::SetDateTime(text::DateTime value)
{
    std::uint8_t* raw = MutableRaw();
    if (!std::isfinite(value.value) || std::fabs(value.value) > 3.0e6) {
        m_table->Fail("the date is out of range for field \"" + m_name + "\".");
    }
    std::int64_t day = 0;
    std::int64_t ms = 0;
    ToDayAndMs(value, day, ms);
    switch (m_type) {
    case FieldType::Date:
        if (day < 1) {
            m_table->Fail("the date is out of range for field \"" + m_name + "\".");
        }
        EncodeInteger(raw, 4, day);
        return;
    case FieldType::Time:
        // Midnight is a real value here, distinct from an empty field.
        EncodeInteger(raw, 4, ms);
        return;
    case FieldType::Timestamp:
        if (day < 1) {
            m_table->Fail("the date is out of range for field \"" + m_name + "\".");
        }
        EncodeDouble(raw, static_cast<double>(day) * kMsPerDay + static_cast<double>(ms));
        return;
    case FieldType::Alpha:
    case FieldType::Memo:
        SetText(text::DateTimeToText(value));
        return;
    default:
        SetFloat(value.value);
        return;
    }
}

void Field::SetBoolean(bool value)
{
    std::uint8_t* raw = MutableRaw();
    if (m_type == FieldType::Logical) {
        raw[0] = value ? 0x81 : 0x80;
        return;
    }
    if (m_type == FieldType::Alpha || m_type == FieldType::Memo) {
        SetText(value ? "True" : "False");
        return;
    }
    SetInteger(value ? 1 : 0);
}

void Field::SetBytes(std::string_view value)
{
    std::uint8_t* raw = MutableRaw();
    if (IsBlob()) {
        m_table->m_pendingBlobs[m_index] = std::string(value);
        return;
    }
    if (m_type == FieldType::Bytes) {
        std::memset(raw, 0, static_cast<std::size_t>(m_width));
        std::memcpy(raw, value.data(), std::min(value.size(), static_cast<std::size_t>(m_width)));
        return;
    }
    SetText(value);
}

void Field::AssignFrom(const Field& other)
{
    MutableRaw();
    if (other.IsNull()) {
        Clear();
        return;
    }
    const FieldType from = other.Type();
    if (from == m_type && !IsBlob() && m_width == other.m_width && m_size == other.m_size) {
        std::memcpy(MutableRaw(), other.Raw(), static_cast<std::size_t>(m_width));
        return;
    }
    if (IsBlob() || m_type == FieldType::Bytes) {
        SetBytes(other.AsBytes());
        return;
    }
    switch (m_type) {
    case FieldType::Alpha:
        SetText(other.AsText());
        return;
    case FieldType::Logical:
        SetBoolean(other.AsBoolean());
        return;
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::AutoInc:
        SetInteger(other.AsInteger());
        return;
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::Timestamp:
        if (from == FieldType::Alpha || from == FieldType::Memo) {
            SetText(other.AsText());
        } else {
            SetDateTime(other.AsDateTime());
        }
        return;
    default:
        if (from == FieldType::Alpha || from == FieldType::Memo) {
            SetText(other.AsText());
        } else {
            SetFloat(other.AsFloat());
        }
        return;
    }
}

} // namespace wh::paradox
