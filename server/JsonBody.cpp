#include "JsonBody.h"

#include "WarehouseStore.h"

namespace wh::server {

JsonScan ScanJson(std::string_view text, const JsonShapeLimits& limits)
{
    int depth = 0;
    std::size_t values = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (c == '\0') {
            // The parser would take it for the end of the text and ignore whatever follows.
            return JsonScan::NulByte;
        }
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            if (++depth > limits.maxDepth) {
                return JsonScan::TooDeep;
            }
            if (++values > limits.maxValues) {
                return JsonScan::TooManyValues;
            }
            break;
        case ',':
            if (++values > limits.maxValues) {
                return JsonScan::TooManyValues;
            }
            break;
        case ']':
        case '}':
            --depth; // below zero only in a text the parser refuses
            break;
        default:
            break;
        }
    }
    return JsonScan::Fine;
}

nlohmann::json ParseJsonObject(const std::string& text, const std::string& what, const JsonShapeLimits& limits)
{
    // The shape is checked before the parse: a body of nothing but "[" or "{}," would otherwise
    // cost far more memory than its own size, and the parser's own depth callback costs time that
    // grows with the square of a wide object or array.
    switch (ScanJson(text, limits)) {
    case JsonScan::TooDeep:
        throw RequestError(400,
                           "The " + what + " is nested deeper than " + std::to_string(limits.maxDepth) + " levels");
    case JsonScan::TooManyValues:
        throw RequestError(
            400, "The " + what + " holds more than " + std::to_string(limits.maxValues) + " members and elements");
    case JsonScan::NulByte:
        throw RequestError(400, "The " + what + " is not valid JSON: it holds a NUL byte");
    case JsonScan::Fine:
        break;
    }
    // Strict: one value and nothing but white space after it.
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        throw RequestError(400, "The " + what + " is not valid JSON");
    }
    if (!value.is_object()) {
        throw RequestError(400, "The " + what + " must be a JSON object");
    }
    return value;
}

} // namespace wh::server
