#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace wh::server {

// What a quick look at the bytes of a JSON text finds before it is parsed.
enum class JsonScan { Fine, TooDeep, NulByte };

// Walks the text once, following strings and their escapes, and reports a nesting of objects and
// arrays deeper than `maxDepth` or a NUL byte anywhere. For every text the parser takes, the depth
// seen here is the parser's own; for the others, the parser stops at the first fault anyway.
JsonScan ScanJson(std::string_view text, int maxDepth);

// The JSON object a request body must be: exactly one object, nothing but white space after it,
// no NUL byte, at most `maxDepth` levels deep. Raises RequestError 400 naming `what` otherwise.
// Linear in the body: the depth is checked by ScanJson, not during the parse.
nlohmann::json ParseJsonObject(const std::string& text, const std::string& what, int maxDepth);

} // namespace wh::server
