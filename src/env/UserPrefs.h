#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "env/IniFile.h"
#include "env/WarehouseFuncs.h"

namespace wh::env {

// The keys of the current product user's section of UserP.ini that the tool reads or writes,
// each with the value a missing key reads as.
struct UserPrefKey
{
    const char* key;
    const char* fallback;
};
inline constexpr UserPrefKey kPrefWServer { "WServer", "" };
inline constexpr UserPrefKey kPrefWName { "WName", "" };
inline constexpr UserPrefKey kPrefWPassWord { "WPassWord", "" };
inline constexpr UserPrefKey kPrefWCompany { "WCompany", "" };
inline constexpr UserPrefKey kPrefWHUploadAll { "WHUploadAll", "" };
inline constexpr UserPrefKey kPrefFindGridField { "KVD_FindGridField", "Adj_LastName" };

// The password scrambling keys, shared with every program that reads UserP.ini.
inline constexpr std::uint32_t kScrambleStartKey = 743;
inline constexpr std::uint32_t kScrambleMultiplier = 20483;
inline constexpr std::uint32_t kScrambleIncrement = 47951;

// The reversible scrambling of the stored password: each byte is XORed with bits 8 to 15 of a
// key that advances with the scrambled byte. Output has the input's length.
std::string ScrambleText(std::string_view input);
std::string UnscrambleText(std::string_view input);

// The stored form: every scrambled byte in decimal, each closed by ";"; empty for an empty password.
std::string EncodePassword(std::string_view plain);
// The reverse. Text after the last ";" is dropped; a number above 255 gives its low 8 bits.
// A field before a ";" that is empty or not a whole number raises an Error.
std::string DecodePassword(std::string_view stored);

// WHUploadAll means "upload every claim" when it reads TRUE, whatever its case and blanks around it.
bool IsUploadAllValue(std::string_view stored);

// The warehouse settings of the product users: their sections of UserP.ini in the claims
// directory, read from a snapshot of the whole file, and the chosen user in the local
// Warehouse.ini. One object per process, owned by the program.
class UserPrefs
{
public:
    explicit UserPrefs(WarehouseEnv& env);

    // The value of `key` in the current user's section, as stored (untrimmed), or `fallback`.
    // The first read takes a snapshot of the whole file; later reads come from it.
    std::string ReadUserPref(const std::string& key, const std::string& fallback);
    std::string ReadUserPref(const UserPrefKey& key) { return ReadUserPref(key.key, key.fallback); }

    // The same for a caller that writes what it read back: a missing file, section or key gives
    // `fallback` as above, but a UserP.ini that is there and cannot be read raises a FileError
    // naming the file and the reason, as its settings are then unknown rather than empty. No
    // snapshot is kept of a file that could not be read, so the next read tries it again.
    std::string ReadStoredUserPref(const std::string& key, const std::string& fallback);
    std::string ReadStoredUserPref(const UserPrefKey& key) { return ReadStoredUserPref(key.key, key.fallback); }

    // Stores the trimmed value under the trimmed key in the current user's section, changing no
    // other byte of the file, then renews the snapshot. Fails silently: the snapshot then stays.
    void WriteUserPref(const std::string& key, const std::string& value);

    void FreeUserPrefsCache();

    // Makes the user current, then stores the choice in the local Warehouse.ini; a FileError when
    // that cannot be written (the user stays current).
    void SaveMachineUser(const std::string& name, int id);

    // The stored password decoded, blanks kept. A stored text in a wrong form reads as an empty
    // password, so the settings count as incomplete instead of failing the load.
    std::string ReadPassword();
    void WritePassword(const std::string& plain) { WriteUserPref(kPrefWPassWord.key, EncodePassword(plain)); }

    // C/UserP.ini, or empty text when there is no claims directory.
    std::string UserPrefsPath();
    // L/Warehouse.ini, the file the start-up reads the chosen user from.
    std::string MachineUserPath() const;

private:
    WarehouseEnv& m_env;
    std::optional<IniFile> m_cache;
};

} // namespace wh::env
