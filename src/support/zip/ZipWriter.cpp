#include "support/zip/ZipWriter.h"

#include "support/Errors.h"
#include "support/zip/ZipNames.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::zip {
namespace {

// The classic format's limits: sizes and offsets are 32-bit, the member count 16-bit.
constexpr std::uint64_t kMaxClassicBytes = 0xFFFFFFFFull;
constexpr std::size_t kMaxClassicMembers = 0xFFFF;
// Local header (30) + central header (46) + data descriptor slack, per member.
constexpr std::uint64_t kHeaderBytes = 30 + 46 + 16;
constexpr int kDeflateLevel = 1;

struct DirEntry
{
    std::string name;
    bool isFolder = false;
};

bool NameLess(const DirEntry& a, const DirEntry& b)
{
    const auto upper = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return text;
    };
    const std::string ua = upper(a.name);
    const std::string ub = upper(b.name);
    return ua != ub ? ua < ub : a.name < b.name;
}

} // namespace

// One file to be read while the archive is written. libzip calls back into it from zip_close;
// the writer owns it, so the callbacks never outlive it.
struct ZipWriter::Source
{
    std::string diskPath;
    std::string memberName;
    std::uint64_t size = 0;
    time_t mtime = 0;
    int fd = -1;
    std::uint64_t done = 0;
    zip_error_t error {};
    std::string failure; // what went wrong while reading, for the error message

    zip_int64_t Fail(int zipError, int systemError, const std::string& what)
    {
        failure = what;
        zip_error_set(&error, zipError, systemError);
        return -1;
    }

    static zip_int64_t Callback(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command)
    {
        return static_cast<Source*>(userdata)->Handle(data, length, command);
    }

    zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command)
    {
        switch (command) {
        case ZIP_SOURCE_STAT: {
            // Sizes are taken again just before the file is read, so a table that changed after
            // it was added goes in as it stands now.
            if (fd < 0) {
                struct stat info = {};
                if (::stat(diskPath.c_str(), &info) != 0) {
                    const int err = errno;
                    return Fail(ZIP_ER_OPEN, err, "Cannot read " + diskPath + ": " + SystemErrorText(err));
                }
                if (static_cast<std::uint64_t>(info.st_size) >= kMaxClassicBytes) {
                    return Fail(ZIP_ER_INVAL, 0, diskPath + " has grown beyond 4 GB while the archive was written");
                }
                size = static_cast<std::uint64_t>(info.st_size);
                mtime = info.st_mtime;
            }
            auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error);
            if (st == nullptr) {
                return -1;
            }
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
            st->size = size;
            st->mtime = mtime;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_OPEN:
            fd = ::open(diskPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) {
                const int err = errno;
                return Fail(ZIP_ER_OPEN, err, "Cannot read " + diskPath + ": " + SystemErrorText(err));
            }
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            done = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const std::uint64_t wanted = std::min<std::uint64_t>(length, size - done);
            if (wanted == 0) {
                return 0;
            }
            ssize_t got;
            do {
                got = ::read(fd, data, wanted);
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                const int err = errno;
                return Fail(ZIP_ER_READ, err, "Cannot read " + diskPath + ": " + SystemErrorText(err));
            }
            if (got == 0) {
                return Fail(ZIP_ER_READ, 0, diskPath + " became shorter while the archive was written");
            }
            done += static_cast<std::uint64_t>(got);
            return got;
        }
        case ZIP_SOURCE_CLOSE:
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
            return 0;
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&error, data, length);
        case ZIP_SOURCE_FREE:
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return ZIP_SOURCE_SUPPORTS_READABLE;
        default:
            zip_error_set(&error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }
};

void ZipWriter::ZipHandle::operator()(struct ::zip* archive) const
{
    zip_discard(archive);
}

ZipWriter::ZipWriter(std::string archivePath)
    : m_path(std::move(archivePath))
{
    int errorCode = 0;
    struct ::zip* archive = zip_open(m_path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &errorCode);
    if (archive == nullptr) {
        zip_error_t error;
        zip_error_init_with_code(&error, errorCode);
        const std::string reason = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw ArchiveError("Cannot create archive " + m_path + ": " + reason);
    }
    m_zip.reset(archive);
}

ZipWriter::~ZipWriter()
{
    // The archive first: discarding it may still call into the sources.
    m_zip.reset();
}

void ZipWriter::SetComment(std::string comment)
{
    if (comment.size() > 0xFFFF) {
        throw ArchiveError("The comment of archive " + m_path + " is longer than 65535 bytes");
    }
    m_comment = std::move(comment);
    m_commentSet = true;
}

bool ZipWriter::Fail(const std::string& memberName, int code, const std::string& message, int nativeError)
{
    const Failure failure { memberName, Operation::Add, code, message, nativeError };
    if (m_failure && m_failure(failure) == FailureAction::Skip) {
        return false;
    }
    throw ArchiveError(message);
}

bool ZipWriter::AddFile(const std::string& diskPath, const std::string& memberName, const std::string& comment)
{
    if (!m_zip) {
        throw ArchiveError("Archive " + m_path + " is already closed");
    }
    const std::string name = StoredName(memberName);
    if (!IsSafeMemberName(name)) {
        return Fail(name, UnsafeName,
                    "Cannot add " + diskPath + " to archive " + m_path + ": the member name " + memberName
                        + " would leave the archive's folder",
                    0);
    }
    if (m_confirm && !m_confirm(name, Operation::Add)) {
        return false;
    }
    if (std::find(m_members.begin(), m_members.end(), name) != m_members.end()) {
        return Fail(name, DuplicateName, "Archive " + m_path + " already holds a member " + name, 0);
    }

    struct stat info = {};
    if (::stat(diskPath.c_str(), &info) != 0) {
        const int err = errno;
        return Fail(name, ReadFailed, "Cannot read " + diskPath + ": " + SystemErrorText(err), err);
    }
    if (!S_ISREG(info.st_mode)) {
        return Fail(name, ReadFailed, "Cannot add " + diskPath + " to archive " + m_path + ": it is not a file", 0);
    }
    // Opened once now so that an unreadable file is reported here, where it can be skipped.
    const int probe = ::open(diskPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (probe < 0) {
        const int err = errno;
        return Fail(name, ReadFailed, "Cannot read " + diskPath + ": " + SystemErrorText(err), err);
    }
    ::close(probe);

    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t planned = m_plannedBytes + size + kHeaderBytes + 2 * name.size() + comment.size();
    if (size >= kMaxClassicBytes || planned >= kMaxClassicBytes || m_members.size() >= kMaxClassicMembers) {
        return Fail(
            name, TooLarge,
            "Cannot add " + diskPath + " to archive " + m_path + ": the archive would exceed 4 GB or 65535 files", 0);
    }
    if (comment.size() > 0xFFFF) {
        throw ArchiveError("The comment of member " + name + " of archive " + m_path + " is longer than 65535 bytes");
    }

    auto source = std::make_shared<Source>();
    source->diskPath = diskPath;
    source->memberName = name;
    source->size = size;
    source->mtime = info.st_mtime;
    zip_error_init(&source->error);

    zip_source_t* zipSource = zip_source_function(m_zip.get(), &Source::Callback, source.get());
    if (zipSource == nullptr) {
        throw ArchiveError("Cannot add " + diskPath + " to archive " + m_path + ": " + zip_strerror(m_zip.get()));
    }
    const zip_int64_t index = zip_file_add(m_zip.get(), name.c_str(), zipSource, ZIP_FL_ENC_GUESS);
    if (index < 0) {
        zip_source_free(zipSource);
        throw ArchiveError("Cannot add " + diskPath + " to archive " + m_path + ": " + zip_strerror(m_zip.get()));
    }
    m_sources.push_back(std::move(source));

    // Unix mode in the high half as Info-ZIP stores it, the DOS read-only bit in the low byte.
    const std::uint32_t attributes
        = (static_cast<std::uint32_t>(info.st_mode & 0xFFFF) << 16) | ((info.st_mode & S_IWUSR) == 0 ? 0x01u : 0x00u);
    const auto idx = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(m_zip.get(), idx, ZIP_CM_DEFLATE, kDeflateLevel) != 0
        || zip_file_set_mtime(m_zip.get(), idx, info.st_mtime, 0) != 0
        || zip_file_set_external_attributes(m_zip.get(), idx, 0, ZIP_OPSYS_UNIX, attributes) != 0
        || (!comment.empty()
            && zip_file_set_comment(m_zip.get(), idx, comment.data(), static_cast<zip_uint16_t>(comment.size()), 0)
                != 0)) {
        throw ArchiveError("Cannot add " + diskPath + " to archive " + m_path + ": " + zip_strerror(m_zip.get()));
    }
    m_members.push_back(name);
    m_plannedBytes = planned;
    return true;
}

int ZipWriter::AddFiles(const std::string& baseFolder, const std::string& relativeMask, bool recurse)
{
    const std::string mask = StoredName(relativeMask);
    const std::size_t slash = mask.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : mask.substr(0, slash);
    const std::string nameMask = slash == std::string::npos ? mask : mask.substr(slash + 1);
    int added = 0;
    AddFolder(baseFolder, folder, nameMask, recurse, added);
    return added;
}

void ZipWriter::AddFolder(const std::string& baseFolder, const std::string& relativeFolder, const std::string& nameMask,
                          bool recurse, int& added)
{
    const std::string folderPath = relativeFolder.empty() ? baseFolder : baseFolder + "/" + relativeFolder;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folderPath.c_str()), &::closedir);
    if (!dir) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            return;
        }
        Fail(relativeFolder + "/", ReadFailed, "Cannot read the folder " + folderPath + ": " + SystemErrorText(err),
             err);
        return;
    }
    std::vector<DirEntry> entries;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat info = {};
        if (::lstat((folderPath + "/" + name).c_str(), &info) != 0) {
            continue; // gone since the listing
        }
        // Links to folders are left alone: they could lead outside the folder or round in a loop.
        // Links to files go in with the file's content.
        struct stat target = {};
        if (S_ISLNK(info.st_mode) && ::stat((folderPath + "/" + name).c_str(), &target) == 0
            && S_ISDIR(target.st_mode)) {
            continue;
        }
        entries.push_back({ name, S_ISDIR(info.st_mode) });
    }
    dir.reset();
    std::sort(entries.begin(), entries.end(), NameLess);

    for (const DirEntry& entry : entries) {
        if (!entry.isFolder && MatchesMask(entry.name, nameMask)) {
            const std::string member = relativeFolder.empty() ? entry.name : relativeFolder + "/" + entry.name;
            if (AddFile(folderPath + "/" + entry.name, member)) {
                ++added;
            }
        }
    }
    if (recurse) {
        for (const DirEntry& entry : entries) {
            if (entry.isFolder) {
                AddFolder(baseFolder, relativeFolder.empty() ? entry.name : relativeFolder + "/" + entry.name, nameMask,
                          recurse, added);
            }
        }
    }
}

void ZipWriter::SetMemberComment(const std::string& mask, const std::string& comment)
{
    if (!m_zip) {
        throw ArchiveError("Archive " + m_path + " is already closed");
    }
    if (comment.size() > 0xFFFF) {
        throw ArchiveError("A member comment of archive " + m_path + " is longer than 65535 bytes");
    }
    bool matched = false;
    for (std::size_t i = 0; i < m_members.size(); ++i) {
        if (MatchesMask(m_members[i], mask)) {
            if (zip_file_set_comment(m_zip.get(), i, comment.data(), static_cast<zip_uint16_t>(comment.size()), 0)
                != 0) {
                throw ArchiveError("Cannot set a comment in archive " + m_path + ": " + zip_strerror(m_zip.get()));
            }
            m_plannedBytes += comment.size();
            matched = true;
        }
    }
    if (!matched) {
        throw ArchiveError("No member of archive " + m_path + " matches " + mask);
    }
}

void ZipWriter::Close()
{
    if (!m_zip) {
        throw ArchiveError("Archive " + m_path + " is already closed");
    }
    if (m_members.empty()) {
        // libzip removes an archive without members; the callers expect a valid, empty one.
        m_zip.reset();
        WriteEmptyArchive();
        return;
    }
    if (m_commentSet
        && zip_set_archive_comment(m_zip.get(), m_comment.data(), static_cast<zip_uint16_t>(m_comment.size())) != 0) {
        throw ArchiveError("Cannot set the comment of archive " + m_path + ": " + zip_strerror(m_zip.get()));
    }
    if (zip_close(m_zip.get()) != 0) {
        std::string reason = zip_strerror(m_zip.get());
        for (const auto& source : m_sources) {
            if (!source->failure.empty()) {
                reason = source->failure;
                break;
            }
        }
        m_zip.reset();
        throw ArchiveError("Cannot write archive " + m_path + ": " + reason);
    }
    (void)m_zip.release(); // zip_close freed it
}

void ZipWriter::WriteEmptyArchive()
{
    // End-of-central-directory record alone: signature, zero counts and offsets, the comment.
    std::string record("PK\x05\x06", 4);
    record.append(16, '\0');
    const auto commentSize = static_cast<std::uint16_t>(m_commentSet ? m_comment.size() : 0);
    record.push_back(static_cast<char>(commentSize & 0xFF));
    record.push_back(static_cast<char>(commentSize >> 8));
    if (m_commentSet) {
        record += m_comment;
    }
    std::string temporary = m_path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        throw ArchiveError("Cannot write archive " + m_path + ": " + SystemErrorText(errno));
    }
    ::fchmod(fd, 0644);
    std::unique_ptr<FILE, int (*)(FILE*)> file(::fdopen(fd, "wb"), &std::fclose);
    if (!file) {
        ::close(fd);
    }
    if (!file || std::fwrite(record.data(), 1, record.size(), file.get()) != record.size()
        || std::fflush(file.get()) != 0) {
        const int err = errno;
        file.reset();
        ::unlink(temporary.c_str());
        throw ArchiveError("Cannot write archive " + m_path + ": " + SystemErrorText(err));
    }
    file.reset();
    if (::rename(temporary.c_str(), m_path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temporary.c_str());
        throw ArchiveError("Cannot write archive " + m_path + ": " + SystemErrorText(err));
    }
}

} // namespace wh::zip
