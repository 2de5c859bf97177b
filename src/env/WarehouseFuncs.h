#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "env/UserNotice.h"
#include "support/text/Clock.h"

namespace wh::env {

// What the user reads when the alias file gives no claims directory.
inline constexpr const char* kAliasFileMessage
    = "Please check the location of your \r\nWarehouse Upload Program, it must be in\r\n"
      "the Korvan Program folder.\r\n\r\nError: Could not locate the DBALIAS.INI file.";

// Cuts `text` at every `delimiter` into `list` (cleared first). Blanks are ordinary characters; a
// delimiter at the very end adds an empty last field; a field that begins with a double quote is
// a quoted string whose doubled quotes stand for one. A missing list is a programming error.
void SplitDelimited(char delimiter, std::string_view text, std::vector<std::string>* list);

// Deletes the files of `folder` whose names match `mask` ("*" and "?" wildcards, without regard
// to case, as the Windows file search does). A file that cannot be deleted is passed over.
void DeleteFilesByMask(const std::string& folder, const std::string& mask);

// Returns the log's size before the call, or -1 when it does not exist; a log of more than
// 25 MiB is emptied (it stays, with length zero).
std::int64_t LimitLogSize(const std::string& path);
constexpr std::int64_t kLogSizeLimit = 26214400;

// There are no 8.3 short paths here: the path comes back unchanged.
std::string GetShortPath(const std::string& path);

// The user's local (non-roaming) data folder; empty when it cannot be known.
std::string GetLocalAppDataDir();

// Copies a file, overwriting the target; raises a FileError with the system's reason.
void CopyFileOrRaise(const std::string& source, const std::string& target);

// Writes exactly `bytes` to the file, replacing it (or adding to its end with `append`), and
// flushes it; a file that cannot be opened or written raises a FileError with the system's reason.
void WriteFileOrRaise(const std::string& path, const std::string& bytes, bool append = false);

// The time stamp of every log line: short date, one blank and the long time of day; the time
// part is left out at exactly midnight.
std::string LogTimestamp(const text::Clock& clock);

// The tool's local environment: the claims directory found through the product's alias file, the
// tool's own folder tree under the local data folder, and the product user the tool works for.
// One object per process, created at start-up and handed to everything that needs these paths.
class WarehouseEnv
{
public:
    // `requestEnd` asks the application to end; it takes effect when control returns to the
    // message loop (the alias file is missing).
    WarehouseEnv(UserNotice& notice, const text::Clock& clock, std::function<void()> requestEnd);

    // The claims directory named by DBAlias.ini, or empty text. A missing alias file shows its
    // message and asks the application to end.
    std::string GetClaimsDir();

    // The value of the first name=value line of warehouse.ini whose name is exactly `name`,
    // untrimmed, or empty text. A missing or unreadable file raises a FileError.
    std::string ReadWarehouseIniValue(const std::string& name);

    // Builds the local folder tree, copies the ARCS template once, and reads the current user.
    void PrepareLocalFolders();

    const std::string& LocalWarehouseDir() const { return m_localWarehouseDir; }
    const std::string& UploadDir() const { return m_uploadDir; }
    const std::string& TempArcsDir() const { return m_tempArcsDir; }
    const std::string& CurrentUserName() const { return m_currentUserName; }
    int CurrentUserID() const { return m_currentUserID; }
    // Makes another product user current (the user picker).
    void SetCurrentUser(const std::string& name, int id);

    // Paths below the claims directory, each name resolved without regard to case.
    std::string ClaimsPath(std::string_view relative);
    std::string WarehouseDir(); // C/Warehouse
    std::string WarehouseIniPath(); // C/Warehouse/warehouse.ini
    std::string ActivityLogPath(); // C/Warehouse/log.txt
    std::string AliasFilePath() const; // P/DBAlias.ini

    const text::Clock& Clock() const { return m_clock; }
    UserNotice& Notice() { return m_notice; }

private:
    UserNotice& m_notice;
    const text::Clock& m_clock;
    std::function<void()> m_requestEnd;
    std::string m_claimsDirCache;
    std::string m_localWarehouseDir;
    std::string m_uploadDir;
    std::string m_tempArcsDir;
    std::string m_currentUserName = "MANAGER";
    int m_currentUserID = 1;
};

} // namespace wh::env
