#include "env/IniFile.h"

#include "support/text/StringUtil.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace wh::env {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct TextLine
{
    std::string content;
    std::string ending; // "\r\n", "\n" or empty for a last line without one
};

// The lines of INI text; a byte-order mark in front is no part of the first line.
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

std::size_t ByteOrderMarkSize(std::string_view text)
{
    return text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
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

// The trimmed key of an entry line "key=value", or nothing for a comment or a line without "=".
std::optional<std::string> EntryKey(std::string_view content)
{
    const std::size_t equals = content.find('=');
    if (IsComment(content) || equals == std::string_view::npos) {
        return std::nullopt;
    }
    return text::Trim(content.substr(0, equals));
}

std::string EntryValue(std::string_view content)
{
    return text::Trim(content.substr(content.find('=') + 1));
}

bool ReadAll(int fd, std::string& text)
{
    char chunk[8192];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return n == 0;
}

class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// A linked file is changed where it lies, and the link stays a link.
std::string ResolvedPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// Writes the content to a new file beside `path` and renames it over `path`. With `original`,
// the new file must first get its owner, group and mode; when it cannot (another user's file, a
// group the writer is not in) or the folder may not be changed, nothing is changed and the result
// is false.
bool ReplaceByRename(const std::string& path, std::string_view content, const struct stat* original)
{
    std::string temp = path + ".XXXXXX";
    const int out = ::mkstemp(temp.data());
    if (out < 0) {
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(out, content.data() + done, content.size() - done);
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (original) {
        // The owner goes first, as a change of owner clears set-id bits that the mode then restores.
        // Some file systems (network shares among them) accept either change without making it,
        // hence the check.
        struct stat made = {};
        ok = ok && ::fchown(out, original->st_uid, original->st_gid) == 0
            && ::fchmod(out, original->st_mode & 07777) == 0 && ::fstat(out, &made) == 0
            && made.st_uid == original->st_uid && made.st_gid == original->st_gid
            && (made.st_mode & 07777) == (original->st_mode & 07777);
    } else {
        ok = ok && ::fchmod(out, 0644) == 0;
    }
    ok = ok && ::fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

// The file keeps its inode, and with it owner, group, mode and every hard link. The content goes
// in one write from the start, so a reader meets a mixed file only for as long as that call and
// the truncation take.
bool RewriteInPlace(int fd, std::string_view content)
{
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::ftruncate(fd, static_cast<off_t>(content.size())) == 0 && ::fsync(fd) == 0;
}

// Stores the content as the file at `path`, which `fd` holds open for writing (-1: the file does
// not exist yet and is created).
bool StoreFile(const std::string& path, int fd, std::string_view content)
{
    if (fd < 0) {
        return ReplaceByRename(path, content, nullptr);
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    // A rename would leave the other names of a hard-linked file with the old content.
    if (info.st_nlink == 1 && ReplaceByRename(path, content, &info)) {
        return true;
    }
    return RewriteInPlace(fd, content);
}

} // namespace

IniFile::LoadResult IniFile::LoadChecked(const std::string& path)
{
    m_text.clear();
    m_values.clear();
    const Descriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) {
        const int error = errno;
        return error == ENOENT ? LoadResult { LoadState::Missing, 0 } : LoadResult { LoadState::Unreadable, error };
    }
    if (!ReadAll(in.Get(), m_text)) {
        const int error = errno;
        m_text.clear();
        return { LoadState::Unreadable, error ? error : EIO };
    }
    Index();
    return { LoadState::Read, 0 };
}

bool IniFile::Save(const std::string& givenPath) const
{
    const std::string path = ResolvedPath(givenPath);
    const Descriptor out(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (out.Get() < 0 && errno != ENOENT) {
        return false;
    }
    return StoreFile(path, out.Get(), m_text);
}

void IniFile::Index()
{
    m_values.clear();
    const std::string_view text(m_text);
    std::map<std::string, std::string>* section = nullptr; // none before the first section line
    for (const TextLine& line : SplitLines(text.substr(ByteOrderMarkSize(text)))) {
        if (const auto name = SectionName(line.content)) {
            const auto [it, first] = m_values.try_emplace(text::UpperCase(*name));
            section = first ? &it->second : nullptr;
        } else if (const auto key = EntryKey(line.content); key && section) {
            section->try_emplace(text::UpperCase(*key), EntryValue(line.content));
        }
    }
}

const std::string* IniFile::Find(const std::string& section, const std::string& key) const
{
    const auto inSection = m_values.find(text::UpperCase(text::Trim(section)));
    if (inSection == m_values.end()) {
        return nullptr;
    }
    const auto entry = inSection->second.find(text::UpperCase(text::Trim(key)));
    return entry == inSection->second.end() ? nullptr : &entry->second;
}

bool IniFile::HasValue(const std::string& section, const std::string& key) const
{
    return Find(section, key) != nullptr;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key, const std::string& fallback) const
{
    const std::string* value = Find(section, key);
    return value ? *value : fallback;
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int fallback) const
{
    const std::string* value = Find(section, key);
    int parsed = 0;
    return value && text::TryParseInt(*value, parsed) ? parsed : fallback;
}

bool IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    auto updated = SetIniTextValue(m_text, section, key, text::Trim(value));
    if (!updated) {
        return false;
    }
    m_text = std::move(*updated);
    Index();
    return true;
}

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
    const std::size_t bomSize = ByteOrderMarkSize(text);
    std::vector<TextLine> lines = SplitLines(text.substr(bomSize));
    const std::string ending = lines.empty() || lines.front().ending.empty() ? "\r\n" : lines.front().ending;
    const std::string entry = std::string(key) + "=" + std::string(value);

    // Only the first section of the name is read, so only it is written.
    const auto isWanted = [&](const TextLine& line) {
        const auto name = SectionName(line.content);
        return name && text::EqualsIgnoreCase(*name, section);
    };
    const auto first = static_cast<std::size_t>(std::find_if(lines.begin(), lines.end(), isWanted) - lines.begin());
    if (first == lines.size()) {
        if (!lines.empty() && lines.back().ending.empty()) {
            lines.back().ending = ending;
        }
        lines.push_back({ "[" + std::string(section) + "]", ending });
        lines.push_back({ entry, ending });
    } else {
        std::size_t insertAfter = first; // the last non-blank line of the section
        bool replaced = false;
        for (std::size_t i = first + 1; i < lines.size() && !SectionName(lines[i].content); ++i) {
            const auto name = EntryKey(lines[i].content);
            if (name && text::EqualsIgnoreCase(*name, key)) {
                lines[i].content = entry;
                replaced = true;
                break;
            }
            // Blank lines at the end of the section stay between it and the next section.
            if (!text::Trim(lines[i].content).empty()) {
                insertAfter = i;
            }
        }
        if (!replaced) {
            if (lines[insertAfter].ending.empty()) {
                lines[insertAfter].ending = ending;
            }
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAfter) + 1, TextLine { entry, ending });
        }
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
    const std::string path = ResolvedPath(givenPath);
    // Read and written through one descriptor: a file that may not be written is refused before
    // anything is made, and an in-place rewrite changes the very file that was read.
    const Descriptor file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    std::string text;
    if (file.Get() < 0 ? errno != ENOENT : !ReadAll(file.Get(), text)) {
        return false;
    }
    const auto updated = SetIniTextValue(text, section, key, value);
    return updated && StoreFile(path, file.Get(), *updated);
}

} // namespace wh::env
