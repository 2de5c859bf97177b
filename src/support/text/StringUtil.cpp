#include "support/text/StringUtil.h"

#include <charconv>

namespace wh::text {
namespace {

bool IsTrimmed(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

char Upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string TrimLeft(std::string_view text)
{
    std::size_t start = 0;
    while (start < text.size() && IsTrimmed(text[start])) {
        ++start;
    }
    return std::string(text.substr(start));
}

std::string TrimRight(std::string_view text)
{
    std::size_t end = text.size();
    while (end > 0 && IsTrimmed(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(0, end));
}

std::string Trim(std::string_view text)
{
    return TrimLeft(TrimRight(text));
}

std::string UpperCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        c = Upper(c);
    }
    return out;
}

std::string LowerCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        c = Lower(c);
    }
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) {
            return false;
        }
    }
    return true;
}

bool TryParseInt(std::string_view text, int& value)
{
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return false;
        }
    }
    if (text.empty()) {
        return false;
    }
    int parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace wh::text
