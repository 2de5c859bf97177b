#pragma once

#include <memory>
#include <string>

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

} // namespace wh::env
