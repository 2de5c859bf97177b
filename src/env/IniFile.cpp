#include "env/IniFile.h"

// This unit holds the one instance of the INI library's implementation.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "support/text/StringUtil.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace wh::env {

struct IniFile::Impl
{
    // CSimpleIniA is the variant that matches names without regard to case.
    CSimpleIniA ini { false, false, true };

    Impl()
    {
        ini.SetUnicode(false);
        ini.SetSpaces(false);
    }
};

IniFile::IniFile()
    : m_impl(std::make_unique<Impl>())
{
}

IniFile::~IniFile() = default;
IniFile::IniFile(IniFile&&) noexcept = default;
IniFile& IniFile::operator=(IniFile&&) noexcept = default;

bool IniFile::Load(const std::string& path)
{
    m_impl = std::make_unique<Impl>();
    return m_impl->ini.LoadFile(path.c_str()) >= 0;
}

bool IniFile::Save(const std::string& path) const
{
    return m_impl->ini.SaveFile(path.c_str(), false) >= 0;
}

bool IniFile::HasValue(const std::string& section, const std::string& key) const
{
    return m_impl->ini.GetValue(section.c_str(), key.c_str(), nullptr) != nullptr;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key, const std::string& fallback) const
{
    const char* value = m_impl->ini.GetValue(section.c_str(), key.c_str(), nullptr);
    return value ? std::string(value) : fallback;
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int fallback) const
{
    const char* value = m_impl->ini.GetValue(section.c_str(), key.c_str(), nullptr);
    int parsed = 0;
    if (value && text::TryParseInt(text::Trim(value), parsed)) {
        return parsed;
    }
    return fallback;
}

void IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    m_impl->ini.SetValue(section.c_str(), key.c_str(), value.c_str());
}

namespace {

struct TextLine
{
    std::string content;
    std::string ending; // "\r\n", "\n" or empty for a last line without one
};

std::vector<TextLine> SplitLines(std::string_view text)
{
    std::vector<TextLine> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) {
            lines.push_back({ std::string(text.substr(start)), "" });
            break;
        }
        const bool crlf = newline > start && text[newline - 1] == '\r';
        const std::size_t contentEnd = crlf ? newline - 1 : newline;
        lines.push_back({ std::string(text.substr(start, contentEnd - start)), crlf ? "\r\n" : "\n" });
        start = newline + 1;
    }
    return lines;
}

// The section name of a line "[name]", or nothing for any other line.
std::optional<std::string> SectionName(std::string_view content)
{
    const std::string trimmed = text::Trim(content);
    if (trimmed.empty() || trimmed.front() != '[') {
        return std::nullopt;
    }
    const std::size_t close = trimmed.find(']');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    return text::Trim(std::string_view(trimmed).substr(1, close - 1));
}

bool IsComment(std::string_view content)
{
    const std::string trimmed = text::TrimLeft(content);
    return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

} // namespace

std::optional<std::string> SetIniTextValue(std::string_view text, std::string_view section, std::string_view key,
                                           std::string_view value)
{
    const auto breaksLine = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (key.empty() || key != text::Trim(key) || breaksLine(key) || key.find('=') != std::string_view::npos
        || key.front() == '[' || key.front() == ';' || key.front() == '#' || section.empty()
        || section != text::Trim(section) || breaksLine(section) || section.find(']') != std::string_view::npos
        || breaksLine(value) || value != text::Trim(value)) {
        return std::nullopt;
    }
    // A byte-order mark before the first line is kept but is no part of that line's content.
    const std::string_view bom = "\xEF\xBB\xBF";
    const std::size_t bomSize = text.substr(0, bom.size()) == bom ? bom.size() : 0;
    std::vector<TextLine> lines = SplitLines(text.substr(bomSize));
    const std::string ending = lines.empty() || lines.front().ending.empty() ? "\r\n" : lines.front().ending;
    const std::string entry = std::string(key) + "=" + std::string(value);

    bool inSection = false;
    bool sectionSeen = false;
    bool replaced = false;
    std::size_t insertAfter = 0; // last non-blank line of the first matching section
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (const auto name = SectionName(lines[i].content)) {
            inSection = text::EqualsIgnoreCase(*name, section);
            if (inSection && !sectionSeen) {
                sectionSeen = true;
                insertAfter = i;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (IsComment(lines[i].content)) {
            continue;
        }
        const std::size_t equals = lines[i].content.find('=');
        if (equals != std::string::npos
            && text::EqualsIgnoreCase(text::Trim(std::string_view(lines[i].content).substr(0, equals)), key)) {
            lines[i].content = entry;
            replaced = true;
        }
    }
    if (!replaced && sectionSeen) {
        // The first matching section ends before the next section line; blank lines at its end
        // stay between it and the next section.
        for (std::size_t i = insertAfter + 1; i < lines.size() && !SectionName(lines[i].content); ++i) {
            if (!text::Trim(lines[i].content).empty()) {
                insertAfter = i;
            }
        }
        if (lines[insertAfter].ending.empty()) {
            lines[insertAfter].ending = ending;
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAfter) + 1, TextLine { entry, ending });
    } else if (!sectionSeen) {
        if (!lines.empty() && lines.back().ending.empty()) {
            lines.back().ending = ending;
        }
        lines.push_back({ "[" + std::string(section) + "]", ending });
        lines.push_back({ entry, ending });
    }

    std::string result(text.substr(0, bomSize));
    for (const TextLine& line : lines) {
        result += line.content;
        result += line.ending;
    }
    return result;
}

bool WriteIniValueKeepingText(const std::string& givenPath, const std::string& section, const std::string& key,
                              const std::string& value)
{
    // A linked file is changed where it lies, and the link stays a link.
    std::string path = givenPath;
    char resolved[PATH_MAX];
    if (::realpath(givenPath.c_str(), resolved)) {
        path = resolved;
    }
    std::string text;
    mode_t mode = 0644;
    struct stat info = {};
    if (::stat(path.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
        // The replacement must not get round a file that may not be written.
        const int probe = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) {
            return false;
        }
        ::close(probe);
        const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            return false;
        }
        char chunk[8192];
        ssize_t n;
        while ((n = ::read(in, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(in);
        if (n < 0) {
            return false;
        }
    } else if (errno != ENOENT) {
        return false;
    }

    const auto updated = SetIniTextValue(text, section, key, value);
    if (!updated) {
        return false;
    }
    std::string temp = path + ".XXXXXX";
    const int out = ::mkstemp(temp.data());
    if (out < 0) {
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < updated->size()) {
        const ssize_t n = ::write(out, updated->data() + done, updated->size() - done);
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ok && ::fchmod(out, mode) == 0 && ::fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

} // namespace wh::env
