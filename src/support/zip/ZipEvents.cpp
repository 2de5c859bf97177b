#include "support/zip/ZipEvents.h"

#include <cctype>

namespace wh::zip {
namespace {

char Fold(char c)
{
    if (c == '\\') {
        return '/';
    }
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Glob matching with one backtracking point, the classic linear form.
bool Glob(std::string_view path, std::string_view mask)
{
    std::size_t p = 0;
    std::size_t m = 0;
    std::size_t starMask = std::string_view::npos;
    std::size_t starPath = 0;
    while (p < path.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starPath = p;
        } else if (m < mask.size() && (mask[m] == '?' || Fold(mask[m]) == Fold(path[p]))) {
            ++m;
            ++p;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            p = ++starPath;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') {
        ++m;
    }
    return m == mask.size();
}

} // namespace

std::string_view OperationWord(Operation operation)
{
    switch (operation) {
    case Operation::Add:
        return "Add: ";
    case Operation::Move:
        return "Move: ";
    case Operation::Delete:
        return "Delete: ";
    case Operation::Update:
        return "Update: ";
    case Operation::Extract:
        return "Extract: ";
    case Operation::Test:
        return "Test: ";
    }
    return "";
}

bool MatchesMask(std::string_view path, std::string_view mask)
{
    if (Glob(path, mask)) {
        return true;
    }
    // "NAME.*" takes a bare "NAME" too, as the Windows folder search does.
    if (mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*") {
        return Glob(path, mask.substr(0, mask.size() - 2));
    }
    return false;
}

} // namespace wh::zip
