#include "env/UserPrefs.h"

#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"
#include <cerrno>

namespace wh::env {
namespace {

// Both directions advance the key with the scrambled byte, which is what makes them inverse.
std::string Transform(std::string_view input, bool scramble)
{
    std::string output(input.size(), '\0');
    std::uint32_t key = kScrambleStartKey;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const auto in = static_cast<unsigned char>(input[i]);
        const auto out = static_cast<unsigned char>(in ^ ((key >> 8) & 255u));
        const unsigned char scrambled = scramble ? out : in;
        output[i] = static_cast<char>(out);
        key = (scrambled + key) * kScrambleMultiplier + kScrambleIncrement;
    }
    return output;
}

} // namespace

std::string ScrambleText(std::string_view input)
{
    return Transform(input, true);
}

std::string UnscrambleText(std::string_view input)
{
    return Transform(input, false);
}

std::string EncodePassword(std::string_view plain)
{
    std::string stored;
    for (const char c : ScrambleText(plain)) {
        stored += std::to_string(static_cast<unsigned char>(c));
        stored += ';';
    }
    return stored;
}

std::string DecodePassword(std::string_view stored)
{
    std::string cipher;
    std::string number;
    for (const char c : stored) {
        if (c != ';') {
            number.push_back(c);
            continue;
        }
        int value = 0;
        if (!text::TryParseInt(number, value)) {
            throw Error("'" + number + "' is not a valid integer value");
        }
        cipher.push_back(static_cast<char>(static_cast<unsigned>(value) & 255u));
        number.clear();
    }
    return UnscrambleText(cipher);
}

bool IsUploadAllValue(std::string_view stored)
{
    return text::UpperCase(text::Trim(stored)) == "TRUE";
}

UserPrefs::UserPrefs(WarehouseEnv& env)
    : m_env(env)
{
}

std::string UserPrefs::UserPrefsPath()
{
    return m_env.GetClaimsDir().empty() ? std::string() : m_env.ClaimsPath("UserP.ini");
}

std::string UserPrefs::MachineUserPath() const
{
    const std::string folder
        = platform::JoinPath(platform::JoinPath(GetShortPath(GetLocalAppDataDir()), "Korvan"), "Warehouse");
    return platform::ResolveNoCase(folder, "Warehouse.ini");
}

std::string UserPrefs::ReadUserPref(const std::string& key, const std::string& fallback)
{
    try {
        return ReadStoredUserPref(key, fallback);
    } catch (const std::exception&) {
        // Settings reads never fail; the caller's default stands in.
        return fallback;
    }
}

std::string UserPrefs::ReadStoredUserPref(const std::string& key, const std::string& fallback)
{
    if (!m_cache) {
        IniFile snapshot;
        const std::string path = UserPrefsPath();
        // A missing file (or no claims directory) is an empty snapshot: every key reads as its
        // fallback.
        if (!path.empty()) {
            const IniFile::LoadResult loaded = snapshot.LoadChecked(path);
            if (loaded.state == IniFile::LoadState::Unreadable) {
                throw FileError("Cannot read the warehouse settings from \"" + path + "\". "
                                + SystemErrorText(loaded.error));
            }
        }
        m_cache = std::move(snapshot);
    }
    return m_cache->ReadString(m_env.CurrentUserName(), key, fallback);
}

void UserPrefs::WriteUserPref(const std::string& key, const std::string& value)
{
    try {
        const std::string trimmedKey = text::Trim(key);
        const std::string trimmedValue = text::Trim(value);
        const std::string path = UserPrefsPath();
        const std::string section = m_env.CurrentUserName();
        // The file belongs to the adjusting product: only this one entry may change.
        if (path.empty() || !WriteIniValueKeepingText(path, section, trimmedKey, trimmedValue)) {
            return;
        }
        FreeUserPrefsCache();
        IniFile snapshot;
        // A snapshot that cannot be taken again is left absent, so the next read goes to the
        // file; an empty one would make every other setting read as never stored.
        if (!snapshot.Load(path)) {
            return;
        }
        snapshot.WriteString(section, trimmedKey, trimmedValue);
        m_cache = std::move(snapshot);
    } catch (const std::exception&) {
        // A preference that cannot be stored is dropped without a word, as the settings screens
        // of the adjusting product do.
    }
}

void UserPrefs::FreeUserPrefsCache()
{
    m_cache.reset();
}

void UserPrefs::SaveMachineUser(const std::string& name, int id)
{
    m_env.SetCurrentUser(name, id);
    const std::string path = MachineUserPath();
    IniFile machine;
    // What else the file holds is kept, so a file that is there but cannot be read is not written.
    const IniFile::LoadResult loaded = machine.LoadChecked(path);
    if (loaded.state == IniFile::LoadState::Unreadable) {
        throw FileError("Cannot write the chosen user to \"" + path + "\": the file cannot be read. "
                        + SystemErrorText(loaded.error));
    }
    errno = 0;
    bool stored = true;
    if (!(machine.WriteString("MachineUser", "User", name)
          && machine.WriteString("MachineUser", "UID", std::to_string(id)))) {
        errno = EINVAL; // a name that cannot stand on one line
        stored = false;
    }
    stored = stored && machine.Save(path);
    if (!stored) {
        throw FileError("Cannot write the chosen user to \"" + path + "\". " + SystemErrorText(errno ? errno : EACCES));
    }
}

std::string UserPrefs::ReadPassword()
{
    try {
        return DecodePassword(ReadUserPref(kPrefWPassWord));
    } catch (const Error&) {
        return {};
    }
}

} // namespace wh::env
