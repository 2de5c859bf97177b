#pragma once

#include <string>
#include <string_view>

namespace wh::platform {

// The per-user data folder: $XDG_DATA_HOME, else ~/.local/share, where the home folder is $HOME or,
// without it, the one the password database gives. Relative values are ignored, so the tool's tree
// never lands in the working folder. Empty when no home folder is known at all.
std::string LocalDataDir();

// The user's temporary-files folder, never with a trailing separator: $TMPDIR when set, else a
// folder of the user's own below /tmp (see UserTempDir). Raises a FileError when that folder
// cannot be made or is not safely the user's.
std::string TempDir();

// The folder TempDir gives, without making or checking it.
std::string TempDirPath();

// The folder `parent`/whupload-<uid>: created with mode 0700 when missing, tightened to 0700 when
// it is the user's own. /tmp is shared by every user of the machine, so a folder there that is a
// link, is no folder, or belongs to someone else is refused with a FileError that says what to do.
std::string UserTempDir(const std::string& parent, unsigned uid);

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
