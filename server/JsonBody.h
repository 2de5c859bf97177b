#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace wh::server {

// What a quick look at the bytes of a JSON text finds before it is parsed.
enum class JsonScan { Fine, TooDeep, TooManyValues, NulByte };

// The limits of a JSON request body's shape.
struct JsonShapeLimits
{
    int maxDepth = 32; // levels of objects and arrays
    // Objects, arrays, members and elements together. A parsed value takes tens of times the
    // bytes of its text ("{}," becomes a whole object), so the count bounds the parse's memory.
    std::size_t maxValues = 10000;
};

// Walks the text once, following strings and their escapes, and reports a nesting of objects and
// arrays deeper than the limit, more values than the limit (counted as the objects and arrays
// plus the commas between members and elements) or a NUL byte anywhere. For every text the parser
// takes, the depth seen here is the parser's own; for the others, the parser stops at the first
// fault anyway.
JsonScan ScanJson(std::string_view text, const JsonShapeLimits& limits);

// The JSON object a request body must be: exactly one object, nothing but white space after it,
// no NUL byte, within the shape limits. Raises RequestError 400 naming `what` otherwise. Linear in
// the body, in time and memory: the shape is checked by ScanJson before the parse.
nlohmann::json ParseJsonObject(const std::string& text, const std::string& what, const JsonShapeLimits& limits);

} // namespace wh::server
