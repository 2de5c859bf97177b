#pragma once

#include "support/zip/ZipEvents.h"
#include "support/zip/ZipReader.h"
#include "support/zip/ZipWriter.h"

#include <string>
#include <string_view>

namespace wh {

// The lock and log files that never travel in an archive: the lock-out file a claim is held by,
// the product's error log, and the table engine's lock (.LCK) and network control (.NET) files.
// Names are compared in upper case; "contains" means anywhere in the bare file name.
bool IsLockOrLogFile(std::string_view fileName);

// The bare file name of a member or disk path ("\" and "/" both separate folders).
std::string_view BareFileName(std::string_view name);

} // namespace wh

namespace wh::auxfiles {

// The archive writer of the auxiliary archives: the engine plus a record of the last file that
// failed. Failures never stop the build: the file is skipped and noted here.
class TNewZip : public zip::ZipWriter
{
public:
    // Errors: as zip::ZipWriter.
    explicit TNewZip(std::string archivePath);

    bool Failed = false;
    std::string FailureText;

    // Lock and log files are left out of additions; every other operation passes.
    void ZipConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const;
    void ZipProcessFileFailure(const std::string& fileName, zip::Operation operation, int nativeError, int errorCode,
                               const std::string& errorMessage, zip::FailureAction& action);
};

// The archive reader of the auxiliary archives, with the same record of failures.
class TNewUnZip : public zip::ZipReader
{
public:
    // Errors: as zip::ZipReader.
    explicit TNewUnZip(std::string archivePath);

    bool Failed = false;
    std::string FailureText;

    // Lock and log files are left out of extractions; every other operation passes.
    void UnZipConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const;
    void UnZipProcessFileFailure(const std::string& fileName, zip::Operation operation, int nativeError, int errorCode,
                                 const std::string& errorMessage, zip::FailureAction& action);
};

// The text a failure is recorded with: the operation word, the code, " : ", the message, CR LF
// and the file name, e.g. "Add: 1 : Cannot read ...\r\nmtadds.DB".
std::string FailureRecord(const std::string& fileName, zip::Operation operation, int errorCode,
                          const std::string& errorMessage);

} // namespace wh::auxfiles

namespace wh::restore {

// The reader a downloaded claim archive is restored with. A damaged image memo file (IMAGE.MB,
// SCNDOC.MB) is passed over so the claim still comes back; any other failure stops the
// extraction and marks it failed, so the restore can take the claim back.
class TNewUnZip : public zip::ZipReader
{
public:
    // Errors: as zip::ZipReader.
    explicit TNewUnZip(std::string archivePath);

    bool ExtractFailed = false;
    // What failed at this end (a file that could not be written, with the system's reason);
    // empty when the archive itself was at fault.
    std::string LocalFailure;

    // Lock and log files are left out of extractions; every other operation passes.
    void UnZipConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const;
    void UnZipProcessFileFailure(const std::string& fileName, zip::Operation operation, int nativeError, int errorCode,
                                 const std::string& errorMessage, zip::FailureAction& action);
};

} // namespace wh::restore
