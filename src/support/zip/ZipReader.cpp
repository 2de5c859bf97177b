#include "support/zip/ZipReader.h"

#include "support/Errors.h"
#include "support/zip/ZipNames.h"

#include <zip.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::zip {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

std::string ZipErrorText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

// Failures that mean the member itself is damaged, as opposed to the disk failing under us.
bool IsDamage(int zipError)
{
    switch (zipError) {
    case ZIP_ER_CRC:
    case ZIP_ER_ZLIB:
    case ZIP_ER_INCONS:
    case ZIP_ER_EOF:
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP:
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_COMPRESSED_DATA:
        return true;
    default:
        return false;
    }
}

constexpr int kTemporaryNameAttempts = 100;

// A file descriptor of a temporary output file, removed unless it was put in place.
class TemporaryFile
{
public:
    // Opened with the permissions every new file of this process gets (0666 less its umask), the
    // way an ordinary copy would make the file. Sets errno when no file could be made.
    explicit TemporaryFile(const std::string& folder)
    {
        thread_local std::minstd_rand names(std::random_device {}());
        for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(names()));
            m_path = folder + "/.whzip-" + suffix;
            m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (m_fd >= 0 || errno != EEXIST) {
                break;
            }
        }
    }
    ~TemporaryFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (!m_placed) {
            ::unlink(m_path.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    bool WriteAll(const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t written = ::write(m_fd, data, size);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }
    // Closes the file and renames it over `target` (a read-only file there is replaced, a link
    // there is replaced itself, never followed).
    bool PlaceAs(const std::string& target)
    {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 || ::rename(m_path.c_str(), target.c_str()) != 0) {
            return false;
        }
        m_placed = true;
        return true;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_placed = false;
};

// The read-only attribute: the DOS bit, or a Unix mode the owner may not write. Nothing else of
// a stored mode is taken over; a member marked 0777 must not become a file anyone may change.
bool IsReadOnly(const ZipEntry& entry)
{
    if ((entry.externalAttributes & 0x01) != 0) {
        return true;
    }
    const std::uint32_t unixMode = entry.externalAttributes >> 16;
    return entry.hostSystem == ZIP_OPSYS_UNIX && (unixMode & 0777) != 0 && (unixMode & S_IWUSR) == 0;
}

// Takes every write permission away from the file, leaving the rest as it was created.
void MakeReadOnly(int fd)
{
    struct stat info = {};
    if (::fstat(fd, &info) == 0) {
        ::fchmod(fd, info.st_mode & 0777 & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH));
    }
}

} // namespace

void ZipReader::ZipHandle::operator()(struct ::zip* archive) const
{
    zip_discard(archive);
}

ZipReader::ZipReader(std::string archivePath)
    : m_path(std::move(archivePath))
{
    int errorCode = 0;
    struct ::zip* archive = zip_open(m_path.c_str(), ZIP_RDONLY, &errorCode);
    if (archive == nullptr) {
        if (errorCode == ZIP_ER_NOENT || errorCode == ZIP_ER_OPEN || errorCode == ZIP_ER_READ) {
            const int err = errno;
            throw FileError(
                "Cannot open archive " + m_path + ": "
                + (errorCode == ZIP_ER_NOENT ? std::string("the file does not exist") : SystemErrorText(err)));
        }
        throw ArchiveError(m_path + " is not a valid ZIP archive: " + ZipErrorText(errorCode));
    }
    m_zip.reset(archive);

    int commentLength = 0;
    if (const char* comment = zip_get_archive_comment(archive, &commentLength, ZIP_FL_ENC_RAW)) {
        m_comment.assign(comment, static_cast<std::size_t>(commentLength));
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &st) != 0) {
            throw ArchiveError(m_path + " is not a valid ZIP archive: " + zip_strerror(archive));
        }
        ZipEntry entry;
        entry.name = StoredName(st.name != nullptr ? st.name : "");
        entry.size = st.size;
        entry.compressedSize = st.comp_size;
        entry.crc = st.crc;
        entry.method = st.comp_method;
        entry.modified = st.mtime;
        entry.encrypted = st.encryption_method != ZIP_EM_NONE;
        entry.isFolder = !entry.name.empty() && entry.name.back() == '/';
        zip_uint32_t length = 0;
        if (const char* comment = zip_file_get_comment(archive, index, &length, ZIP_FL_ENC_RAW)) {
            entry.comment.assign(comment, length);
        }
        zip_uint8_t host = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(archive, index, 0, &host, &attributes) == 0) {
            entry.hostSystem = host;
            entry.externalAttributes = attributes;
        }
        m_entries.push_back(std::move(entry));
    }
}

ZipReader::~ZipReader() = default;

ZipReader::Outcome ZipReader::Report(const ZipEntry& entry, int code, const std::string& message, int nativeError,
                                     ExtractResult& result)
{
    ++result.failed;
    const Failure failure { entry.name, Operation::Extract, code, message, nativeError };
    if (!m_failure) {
        if (code == WriteFailed) {
            throw FileError(message);
        }
        throw ArchiveError(message);
    }
    if (m_failure(failure) == FailureAction::Skip) {
        ++result.skipped;
        return Outcome::Skipped;
    }
    result.aborted = true;
    return Outcome::Aborted;
}

void ZipReader::CheckBaseFolder() const
{
    struct stat info = {};
    if (::stat(m_baseFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw FileError("Cannot extract archive " + m_path + ": the folder " + m_baseFolder + " does not exist");
    }
}

ExtractResult ZipReader::Extract(std::string_view mask)
{
    CheckBaseFolder();
    ExtractResult result;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (!MatchesMask(m_entries[i].name, mask)) {
            continue;
        }
        if (ExtractEntry(i, {}, result) == Outcome::Aborted) {
            break;
        }
    }
    return result;
}

ExtractResult ZipReader::ExtractAs(std::size_t index, const std::string& fileName)
{
    CheckBaseFolder();
    ExtractResult result;
    if (!m_entries.at(index).isFolder) {
        ExtractEntry(index, fileName, result);
    }
    return result;
}

// The folder a member goes into, created when stored folders are recreated. Empty with
// `failure` set when it cannot be had.
std::string ZipReader::TargetFolder(const ZipEntry& entry, std::string& failure) const
{
    std::vector<std::string> parts = NameParts(entry.name);
    if (!entry.isFolder) {
        parts.pop_back();
    }
    std::string folder = m_baseFolder;
    if (!m_recreateFolders) {
        return folder;
    }
    for (const std::string& part : parts) {
        folder += "/" + part;
        struct stat info = {};
        if (::lstat(folder.c_str(), &info) == 0) {
            // Only real folders are entered: a link could lead out of the base folder.
            if (!S_ISDIR(info.st_mode)) {
                failure = "Cannot create the folder " + folder + ": a file or link of that name is in the way";
                return {};
            }
        } else if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            failure = "Cannot create the folder " + folder + ": " + SystemErrorText(errno);
            return {};
        }
    }
    return folder;
}

ZipReader::Outcome ZipReader::ExtractEntry(std::size_t index, const std::string& fileName, ExtractResult& result)
{
    const ZipEntry& entry = m_entries[index];
    if (m_confirm && !m_confirm(entry.name, Operation::Extract)) {
        ++result.skipped;
        return Outcome::Skipped;
    }
    const std::string what = "Cannot extract " + entry.name + " from archive " + m_path + ": ";
    if (!IsSafeMemberName(entry.name)) {
        return Report(entry, UnsafeName, what + "the name leads outside the destination folder", 0, result);
    }
    if (!fileName.empty()
        && (!IsSafeMemberName(fileName) || fileName.find_first_of("/\\") != std::string::npos
            || NameParts(fileName).size() != 1)) {
        return Report(entry, UnsafeName, what + "the name " + fileName + " is not a bare file name", 0, result);
    }
    if (entry.isFolder && !m_recreateFolders) {
        return Outcome::Done; // bare names only: stored folders mean nothing here
    }
    if (entry.encrypted) {
        return Report(entry, BadMember, what + "the member is encrypted", 0, result);
    }
    if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
        return Report(entry, BadMember,
                      what + "compression method " + std::to_string(entry.method) + " is not supported", 0, result);
    }

    std::string failure;
    const std::string folder = fileName.empty() ? TargetFolder(entry, failure) : m_baseFolder;
    if (folder.empty()) {
        return Report(entry, WriteFailed, what + failure, 0, result);
    }
    if (entry.isFolder) {
        ++result.extracted;
        return Outcome::Done;
    }
    const std::string target = folder + "/" + (fileName.empty() ? NameParts(entry.name).back() : fileName);

    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> member(zip_fopen_index(m_zip.get(), index, 0), &zip_fclose);
    if (!member) {
        const zip_error_t* error = zip_get_error(m_zip.get());
        const int code = zip_error_code_zip(error);
        return Report(entry, IsDamage(code) ? BadMember : ReadFailed,
                      what + zip_error_strerror(zip_get_error(m_zip.get())), code, result);
    }
    TemporaryFile output(folder);
    if (!output.IsOpen()) {
        const int err = errno;
        return Report(entry, WriteFailed, what + "cannot write in " + folder + ": " + SystemErrorText(err), err,
                      result);
    }

    std::array<char, kBufferSize> buffer;
    std::uint64_t total = 0;
    for (;;) {
        const zip_int64_t got = zip_fread(member.get(), buffer.data(), buffer.size());
        if (got < 0) {
            zip_error_t* error = zip_file_get_error(member.get());
            const int code = zip_error_code_zip(error);
            return Report(entry, IsDamage(code) ? BadMember : ReadFailed, what + zip_error_strerror(error), code,
                          result);
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::uint64_t>(got);
        if (total > entry.size) {
            // The bomb guard: never more than the archive declared for this member.
            return Report(entry, BadMember, what + "the data is larger than its stored size", 0, result);
        }
        if (!output.WriteAll(buffer.data(), static_cast<std::size_t>(got))) {
            const int err = errno;
            return Report(entry, WriteFailed, what + "cannot write " + target + ": " + SystemErrorText(err), err,
                          result);
        }
    }
    if (total != entry.size) {
        return Report(entry, BadMember, what + "the data is shorter than its stored size", 0, result);
    }

    const struct timespec times[2] = { { 0, UTIME_OMIT }, { entry.modified, 0 } };
    ::futimens(output.Fd(), times);
    if (IsReadOnly(entry)) {
        MakeReadOnly(output.Fd());
    }
    if (!output.PlaceAs(target)) {
        const int err = errno;
        return Report(entry, WriteFailed, what + "cannot write " + target + ": " + SystemErrorText(err), err, result);
    }
    ++result.extracted;
    return Outcome::Done;
}

} // namespace wh::zip
