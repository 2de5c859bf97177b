#include "env/IniFile.h"

// This unit holds the one instance of the INI library's implementation.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "support/text/StringUtil.h"

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

} // namespace wh::env
