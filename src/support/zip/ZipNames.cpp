#include "support/zip/ZipNames.h"

#include <cctype>

namespace wh::zip {

std::string StoredName(std::string_view name)
{
    std::string out(name);
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return out;
}

bool IsSafeMemberName(std::string_view name)
{
    const std::string stored = StoredName(name);
    if (stored.empty() || stored.front() == '/') {
        return false;
    }
    if (stored.size() >= 2 && stored[1] == ':' && std::isalpha(static_cast<unsigned char>(stored[0]))) {
        return false;
    }
    if (stored.find('\0') != std::string::npos) {
        return false;
    }
    std::size_t start = 0;
    while (start <= stored.size()) {
        std::size_t end = stored.find('/', start);
        if (end == std::string::npos) {
            end = stored.size();
        }
        if (std::string_view(stored).substr(start, end - start) == "..") {
            return false;
        }
        start = end + 1;
    }
    return !NameParts(stored).empty();
}

std::vector<std::string> NameParts(std::string_view name)
{
    const std::string stored = StoredName(name);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < stored.size()) {
        std::size_t end = stored.find('/', start);
        if (end == std::string::npos) {
            end = stored.size();
        }
        std::string part = stored.substr(start, end - start);
        if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    return parts;
}

} // namespace wh::zip
