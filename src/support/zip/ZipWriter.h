#pragma once

#include "support/zip/ZipEvents.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct zip;

namespace wh::zip {

// Writes a new ZIP archive, replacing any file of that name when it is closed: members are
// deflated at level 1 (incompressible ones too), in the order they were added, with "/" in
// their names, without encryption and without ZIP64 extensions (a file or an archive too large
// for the classic format is refused).
//
// Files are read from disk only while Close writes the archive, a buffer at a time, so memory
// stays small whatever the file sizes. Until Close succeeds the earlier file at the path stays as
// it was; a writer dropped without Close leaves it untouched.
class ZipWriter
{
public:
    // Errors: wh::ArchiveError naming the archive when it cannot be started.
    explicit ZipWriter(std::string archivePath);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    const std::string& ArchivePath() const { return m_path; }

    void SetComment(std::string comment);
    void SetConfirmHandler(ConfirmHandler handler) { m_confirm = std::move(handler); }
    // Without a failure handler every failure aborts.
    void SetFailureHandler(FailureHandler handler) { m_failure = std::move(handler); }

    // Adds one file under `memberName` ("\" becomes "/"). The confirm handler sees the member
    // name first. Returns false when the file was left out (confirm said no, or the failure
    // handler chose Skip); an aborted failure throws wh::ArchiveError.
    bool AddFile(const std::string& diskPath, const std::string& memberName, const std::string& comment = {});

    // Adds the files of `baseFolder` + "/" + the folder part of `relativeMask` whose names match
    // its last part ("ARCS.*", "2024/C0001/*.*"), hidden and read-only ones included, under their
    // paths relative to `baseFolder`; with `recurse`, the subfolders at any depth too. Files come
    // before subfolders, each in name order. A folder that does not exist adds nothing. Returns
    // the number of files added.
    int AddFiles(const std::string& baseFolder, const std::string& relativeMask, bool recurse);

    // Sets the comment of every member whose name matches `mask` (see MatchesMask); a mask that
    // matches no member is an error (wh::ArchiveError).
    void SetMemberComment(const std::string& mask, const std::string& comment);

    std::size_t MemberCount() const { return m_members.size(); }
    const std::vector<std::string>& MemberNames() const { return m_members; }

    // Writes the archive and puts it in place of any earlier file. Errors: wh::ArchiveError naming
    // the archive and, when a source file failed, that file.
    void Close();

private:
    struct Source;
    struct ZipHandle
    {
        void operator()(struct ::zip* archive) const;
    };

    bool Fail(const std::string& memberName, int code, const std::string& message, int nativeError);
    void AddFolder(const std::string& baseFolder, const std::string& relativeFolder, const std::string& nameMask,
                   bool recurse, int& added);
    void WriteEmptyArchive();

    std::string m_path;
    std::unique_ptr<struct ::zip, ZipHandle> m_zip;
    std::string m_comment;
    bool m_commentSet = false;
    ConfirmHandler m_confirm;
    FailureHandler m_failure;
    std::vector<std::string> m_members;
    std::vector<std::shared_ptr<Source>> m_sources;
    std::uint64_t m_plannedBytes = 0;
};

} // namespace wh::zip
