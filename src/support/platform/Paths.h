#pragma once

#include <string>
#include <string_view>

namespace wh::platform {

// The per-user data folder: $XDG_DATA_HOME, else ~/.local/share; empty when neither is known.
std::string LocalDataDir();

// The temporary-files folder: $TMPDIR, else /tmp; never with a trailing separator.
std::string TempDir();

// The folder of the running program file; WHUPLOAD_PROGRAM_DIR overrides it (tests, packaging).
std::string ProgramDir();

// The folder that holds the single-instance lock and socket: $XDG_RUNTIME_DIR when set.
// Empty when the variable is not set.
std::string RuntimeDir();

// Joins a folder and a name with one separator (no doubled separator when the folder ends in one).
std::string JoinPath(std::string_view folder, std::string_view name);

// The path of the entry of `folder` whose name equals `name` without regard to case; the exact
// spelling wins when both exist. When none matches, folder + "/" + name as given.
std::string ResolveNoCase(std::string_view folder, std::string_view name);

// Resolves every component of a relative path (with "/" or "\" separators) below `base`
// without regard to case, as the Windows file system would.
std::string ResolvePathNoCase(std::string_view base, std::string_view relative);

bool FileExists(const std::string& path); // a regular file (or a link to one)
bool DirectoryExists(const std::string& path); // a folder (or a link to one)

} // namespace wh::platform
