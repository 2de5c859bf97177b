#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace wh::env {

// The INI-file service: a standard INI file held in memory, section and key names matched
// without regard to case, values as the file's own bytes (no code-page conversion). Content the
// tool does not own is kept when the file is saved again.
class IniFile
{
public:
    IniFile();
    ~IniFile();
    IniFile(IniFile&&) noexcept;
    IniFile& operator=(IniFile&&) noexcept;

    // Loads the file; false when it is missing or cannot be read (the object is then empty).
    bool Load(const std::string& path);
    // Writes the whole file; false when it cannot be written.
    bool Save(const std::string& path) const;

    bool HasValue(const std::string& section, const std::string& key) const;
    std::string ReadString(const std::string& section, const std::string& key, const std::string& fallback) const;
    // A value that is not a whole decimal number (blanks around it aside) gives the fallback.
    int ReadInteger(const std::string& section, const std::string& key, int fallback) const;
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Sets `key` := `value` in INI text and changes no other byte: the library above rewrites a whole
// file on save (it drops a comment at the very end and merges sections that differ only in case),
// which a file shared with the adjusting product cannot afford. Every entry of `key` in every
// section named `section` (names matched without regard to case, blanks around them ignored) is
// rewritten as key=value; without one, the entry goes after the last line of the first such
// section; without the section, the section and the entry are appended. New lines end as the
// text's first line does (CR LF for new text). Nothing when a name or the value could not be read
// back as written (an empty key, a line break, "=" in the key, "]" in the section).
std::optional<std::string> SetIniTextValue(std::string_view text, std::string_view section, std::string_view key,
                                           std::string_view value);

// Reads the file, sets the value as SetIniTextValue does and replaces the file in one step (a
// reader sees the old or the new file, never half of one). A missing file is created; its folder
// must exist. False when the file cannot be read or written, or the names are unusable.
bool WriteIniValueKeepingText(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& value);

} // namespace wh::env
