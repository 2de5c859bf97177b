#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace wh::json {

// JSON values keep their members in the order they were added or read: the server and the saved
// copies of our documents are compared as text, so order is part of the document.
using Value = nlohmann::ordered_json;

// Reads a JSON text (UTF-8, an optional leading byte-order mark). Text that is not JSON, or is
// nested more than 512 levels deep, gives no value; nothing is thrown, because server answers are
// often plain failure texts.
std::optional<Value> Parse(std::string_view text);

// The exact text form of our documents: no blanks or line breaks, strings escaped as the server
// expects, numbers as FormatNumber writes them. Strings in `value` are UTF-8.
std::string ToText(const Value& value);

// A number in the documents' form: "." as decimal separator whatever the locale, the shortest
// general form with at most 15 significant digits, exponent form (1.5E20, 1E-6) only for more
// than 15 digits before the point or magnitudes below 0.00001. Not-a-number and infinities,
// which JSON cannot hold, are written as null.
std::string FormatNumber(double number);

// A UTF-8 text as a quoted JSON string with the documents' escapes.
std::string QuoteText(std::string_view utf8);

// Reading helpers for answers from the server. Member texts come back as Windows-1252 (the
// tool's own text); a member that is missing or null gives empty text, a number its text form.
std::string MemberText(const Value& object, std::string_view name);
// A whole number member (a number, or a text that holds one); no value when it is neither.
std::optional<std::int64_t> MemberInteger(const Value& object, std::string_view name);

// Builds a JSON object member by member, in order, from the tool's own Windows-1252 texts and
// numbers. Adding a name that is already present replaces its value in place.
class ObjectBuilder
{
public:
    ObjectBuilder();

    ObjectBuilder& AddText(std::string_view name, std::string_view win1252Text);
    ObjectBuilder& AddInteger(std::string_view name, std::int64_t number);
    ObjectBuilder& AddNumber(std::string_view name, double number);
    ObjectBuilder& AddBoolean(std::string_view name, bool value);
    ObjectBuilder& AddNull(std::string_view name);
    ObjectBuilder& AddObject(std::string_view name, const ObjectBuilder& object);

    bool Empty() const { return m_value.empty(); }
    std::size_t Size() const { return m_value.size(); }
    const Value& Get() const { return m_value; }
    // The exact text form (see ToText).
    std::string Text() const { return ToText(m_value); }

private:
    Value& Slot(std::string_view name);

    Value m_value;
};

} // namespace wh::json
