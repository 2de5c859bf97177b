#include "support/json/Json.h"

#include "support/text/Win1252.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace wh::json {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr int kSignificantDigits = 15;
// Our documents and the server's answers are a few levels deep; writing and copying values walk
// them recursively, so text nested deeper than this is not read at all.
constexpr int kDeepestNesting = 512;

void AppendQuoted(std::string& out, std::string_view utf8)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.push_back('"');
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out.push_back(kHex[byte >> 4]);
                out.push_back(kHex[byte & 0x0F]);
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

void AppendValue(std::string& out, const Value& value)
{
    switch (value.type()) {
    case Value::value_t::object: {
        out.push_back('{');
        bool first = true;
        for (const auto& [name, member] : value.items()) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            AppendQuoted(out, name);
            out.push_back(':');
            AppendValue(out, member);
        }
        out.push_back('}');
        break;
    }
    case Value::value_t::array: {
        out.push_back('[');
        bool first = true;
        for (const Value& element : value) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            AppendValue(out, element);
        }
        out.push_back(']');
        break;
    }
    case Value::value_t::string:
        AppendQuoted(out, value.get_ref<const std::string&>());
        break;
    case Value::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        break;
    case Value::value_t::number_integer:
        out += std::to_string(value.get<std::int64_t>());
        break;
    case Value::value_t::number_unsigned:
        out += std::to_string(value.get<std::uint64_t>());
        break;
    case Value::value_t::number_float:
        out += FormatNumber(value.get<double>());
        break;
    case Value::value_t::null:
    case Value::value_t::binary:
    case Value::value_t::discarded:
        out += "null";
        break;
    }
}

} // namespace

std::optional<Value> Parse(std::string_view text)
{
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    bool tooDeep = false;
    const auto watchDepth = [&tooDeep](int depth, nlohmann::detail::parse_event_t event, Value&) {
        if ((event == nlohmann::detail::parse_event_t::object_start
             || event == nlohmann::detail::parse_event_t::array_start)
            && depth >= kDeepestNesting) {
            tooDeep = true;
        }
        return !tooDeep; // the rest is only scanned to its end, not kept
    };
    Value value = Value::parse(text.begin(), text.end(), watchDepth, false);
    if (tooDeep || value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::string ToText(const Value& value)
{
    std::string out;
    AppendValue(out, value);
    return out;
}

std::string QuoteText(std::string_view utf8)
{
    std::string out;
    AppendQuoted(out, utf8);
    return out;
}

std::string FormatNumber(double number)
{
    if (!std::isfinite(number)) {
        return "null";
    }
    if (number == 0.0) {
        return "0"; // negative zero too
    }
    // "%.14e" rounds to 15 significant digits; only its digits and exponent are used, so the
    // locale's decimal separator never reaches the text.
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.*e", kSignificantDigits - 1, std::fabs(number));
    std::string digits;
    const char* p = buffer;
    for (; *p != 'e'; ++p) {
        if (*p >= '0' && *p <= '9') {
            digits.push_back(*p);
        }
    }
    const int exponent = std::atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }
    const int digitCount = static_cast<int>(digits.size());

    std::string out = number < 0 ? "-" : "";
    if (exponent >= kSignificantDigits || exponent < -5) {
        out.push_back(digits[0]);
        if (digitCount > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('E');
        out += std::to_string(exponent);
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (digitCount <= exponent + 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - digitCount), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

std::string MemberText(const Value& object, std::string_view name)
{
    if (!object.is_object()) {
        return {};
    }
    const auto it = object.find(std::string(name));
    if (it == object.end() || it->is_null()) {
        return {};
    }
    if (it->is_string()) {
        return text::Utf8ToWin1252(it->get_ref<const std::string&>());
    }
    return text::Utf8ToWin1252(ToText(*it));
}

std::optional<std::int64_t> MemberInteger(const Value& object, std::string_view name)
{
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto it = object.find(std::string(name));
    if (it == object.end()) {
        return std::nullopt;
    }
    if (it->is_number_unsigned()) {
        const auto number = it->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (it->is_number_integer()) {
        return it->get<std::int64_t>();
    }
    if (it->is_number_float()) {
        const double number = it->get<double>();
        if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.0e18) {
            return static_cast<std::int64_t>(number);
        }
        return std::nullopt;
    }
    if (it->is_string()) {
        const std::string& text = it->get_ref<const std::string&>();
        // strtoll would skip any white space before the number and stop at a NUL inside the text.
        if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        const long long number = std::strtoll(text.c_str(), &end, 10);
        if (errno != 0 || end != text.c_str() + text.size()) {
            return std::nullopt;
        }
        return number;
    }
    return std::nullopt;
}

ObjectBuilder::ObjectBuilder()
    : m_value(Value::object())
{
}

Value& ObjectBuilder::Slot(std::string_view name)
{
    return m_value[text::Win1252ToUtf8(name)];
}

ObjectBuilder& ObjectBuilder::AddText(std::string_view name, std::string_view win1252Text)
{
    Slot(name) = text::Win1252ToUtf8(win1252Text);
    return *this;
}

ObjectBuilder& ObjectBuilder::AddInteger(std::string_view name, std::int64_t number)
{
    Slot(name) = number;
    return *this;
}

ObjectBuilder& ObjectBuilder::AddNumber(std::string_view name, double number)
{
    Slot(name) = number;
    return *this;
}

ObjectBuilder& ObjectBuilder::AddBoolean(std::string_view name, bool value)
{
    Slot(name) = value;
    return *this;
}

ObjectBuilder& ObjectBuilder::AddNull(std::string_view name)
{
    Slot(name) = nullptr;
    return *this;
}

ObjectBuilder& ObjectBuilder::AddObject(std::string_view name, const ObjectBuilder& object)
{
    Slot(name) = object.m_value;
    return *this;
}

} // namespace wh::json
