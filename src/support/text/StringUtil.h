#pragma once

#include <string>
#include <string_view>

namespace wh::text {

// Trimming removes blanks and control characters (every byte up to and including the blank).
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);

// Case changes and comparisons of the ASCII letters only; other bytes stay as they are.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Parses a whole text as a 32-bit signed decimal integer (optional sign, no blanks); false when
// the text is no such number.
bool TryParseInt(std::string_view text, int& value);

} // namespace wh::text
