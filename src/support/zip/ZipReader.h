#pragma once

#include "support/zip/ZipEvents.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct zip;

namespace wh::zip {

// One member as the central directory describes it.
struct ZipEntry
{
    std::string name; // as stored, "\" read as "/"
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    std::uint32_t crc = 0;
    std::uint16_t method = 0; // 0 stored, 8 deflated
    std::time_t modified = 0;
    std::string comment;
    bool isFolder = false;
    bool encrypted = false;
    std::uint8_t hostSystem = 0; // 0 DOS/Windows, 3 Unix, ...
    std::uint32_t externalAttributes = 0;
};

struct ExtractResult
{
    int extracted = 0;
    int skipped = 0; // left out by the confirm handler or skipped after a failure
    int failed = 0; // failures reported to the failure handler
    bool aborted = false;
};

// Reads a ZIP archive and extracts its members into a base folder. Every member is checked while
// it is written (size, checksum, compression method); a member that fails its check is reported
// with code BadMember. Nothing is ever written outside the base folder: names that are absolute,
// carry a drive or a ".." component are refused (UnsafeName), and a member that inflates beyond
// its stored size is stopped there (BadMember), whatever its compressed data claims.
class ZipReader
{
public:
    // Errors: wh::FileError when the file cannot be opened, wh::ArchiveError when it is no ZIP
    // archive; both name the file.
    explicit ZipReader(std::string archivePath);
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    const std::string& ArchivePath() const { return m_path; }
    const std::string& Comment() const { return m_comment; }
    const std::vector<ZipEntry>& Entries() const { return m_entries; }

    void SetBaseFolder(std::string folder) { m_baseFolder = std::move(folder); }
    // Off: every file goes straight into the base folder under its bare name, folders ignored.
    void SetRecreateFolders(bool recreate) { m_recreateFolders = recreate; }
    void SetConfirmHandler(ConfirmHandler handler) { m_confirm = std::move(handler); }
    // Without a failure handler every failure aborts by throwing wh::ArchiveError (wh::FileError
    // when an output file cannot be written). With one, Abort stops the extraction quietly.
    void SetFailureHandler(FailureHandler handler) { m_failure = std::move(handler); }

    // Extracts the members whose stored path matches `mask` (see MatchesMask), in archive order.
    // Existing files are replaced, read-only ones included. Each file gets its stored time; it is
    // created as any file of this process is (its umask decides who may read and write it) and
    // made read-only when the member is marked so, but a stored mode is never applied as it is:
    // an archive must not hand out write or execute rights. wh::FileError when the base folder
    // does not exist.
    ExtractResult Extract(std::string_view mask);

    // Extracts the one member `index` of Entries() straight into the base folder as the bare name
    // `fileName`, whatever folders its stored path names (a folder member gives nothing). Checks,
    // handlers and errors as for Extract.
    ExtractResult ExtractAs(std::size_t index, const std::string& fileName);

private:
    struct ZipHandle
    {
        void operator()(struct ::zip* archive) const;
    };
    enum class Outcome { Done, Skipped, Aborted };

    // `fileName` empty: the member's own name, in the folders it names when those are recreated.
    Outcome ExtractEntry(std::size_t index, const std::string& fileName, ExtractResult& result);
    Outcome Report(const ZipEntry& entry, int code, const std::string& message, int nativeError, ExtractResult& result);
    std::string TargetFolder(const ZipEntry& entry, std::string& failure) const;
    void CheckBaseFolder() const;

    std::string m_path;
    std::unique_ptr<struct ::zip, ZipHandle> m_zip;
    std::string m_comment;
    std::vector<ZipEntry> m_entries;
    std::string m_baseFolder = ".";
    bool m_recreateFolders = true;
    ConfirmHandler m_confirm;
    FailureHandler m_failure;
};

} // namespace wh::zip
