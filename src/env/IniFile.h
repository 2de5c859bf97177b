#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace wh::env {

// The INI-file service: a standard INI file held in memory, read as the adjusting product reads
// it. Section and key names match without regard to case and without the blanks around them; the
// first section of a name is the only one looked in (a later copy is invisible), and in it the
// first entry of a key wins. Values are the file's own bytes, blanks around them dropped, with no
// code-page conversion and no multi-line forms. Writing changes only the entries written, so the
// content the tool does not own is kept byte for byte.
class IniFile
{
public:
    // How a load went: a missing file is no settings at all, but a file that is there and cannot
    // be read holds settings that are unknown, and must not be taken for empty ones.
    enum class LoadState {
        Read,
        Missing,
        Unreadable,
    };
    struct LoadResult
    {
        LoadState state;
        int error; // the reason when Unreadable (an errno value), else 0
    };

    // Loads the file; the object is empty unless it was read.
    LoadResult LoadChecked(const std::string& path);
    // Loads the file; false when it is missing or cannot be read (the object is then empty).
    bool Load(const std::string& path) { return LoadChecked(path).state == LoadState::Read; }
    // Writes the whole file as WriteIniValueKeepingText stores one (owner, group and mode kept);
    // false when it cannot be written.
    bool Save(const std::string& path) const;

    bool HasValue(const std::string& section, const std::string& key) const;
    std::string ReadString(const std::string& section, const std::string& key, const std::string& fallback) const;
    // A value that is not a whole decimal number (blanks around it aside) gives the fallback.
    int ReadInteger(const std::string& section, const std::string& key, int fallback) const;
    // Sets the entry as SetIniTextValue does, with the value trimmed (a reader would drop the
    // blanks anyway). False, and nothing changed, when the names or the value cannot be stored.
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    const std::string* Find(const std::string& section, const std::string& key) const;
    void Index();

    std::string m_text;
    // Upper-cased section name -> upper-cased key -> value, for the entries a reader sees.
    std::map<std::string, std::map<std::string, std::string>> m_values;
};

// Sets `key` := `value` in INI text and changes no other byte. The entry that readers see (the
// first of `key` in the first section named `section`, names matched without regard to case and
// blanks around them) is rewritten as key=value; without one, the entry goes after the last line
// of that section; without the section, the section and the entry are appended. Later copies of
// the section stay as they are. New lines end as the text's first line does (CR LF for new text).
// Nothing when a name or the value could not be read back as written (an empty key, a line break,
// "=" in the key, "]" in the section, blanks around).
std::optional<std::string> SetIniTextValue(std::string_view text, std::string_view section, std::string_view key,
                                           std::string_view value);

// Reads the file, sets the value as SetIniTextValue does and stores the result. The file keeps
// its owner, group and mode: it is replaced in one step (a reader sees the old or the new file)
// when the new file can have them, and otherwise, or when the folder may not be changed, it is
// rewritten in place with one write. A missing file is created; its folder must exist. False
// when the file cannot be read or written, or the names are unusable.
bool WriteIniValueKeepingText(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& value);

} // namespace wh::env
