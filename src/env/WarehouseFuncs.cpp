#include "env/WarehouseFuncs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "env/IniFile.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

namespace wh::env {
namespace {

// Lines end in CR LF, LF or CR alone, as the Windows line reader accepts them.
std::vector<std::string> ReadLines(std::istream& in)
{
    std::vector<std::string> lines;
    std::string line;
    char c;
    bool pending = false;
    while (in.get(c)) {
        if (c == '\n' || c == '\r') {
            if (c == '\r' && in.peek() == '\n') {
                in.get(c);
            }
            lines.push_back(line);
            line.clear();
            pending = false;
        } else {
            line.push_back(c);
            pending = true;
        }
    }
    if (pending) {
        lines.push_back(line);
    }
    return lines;
}

// The second field of a name=value line whose first field is exactly `name`; a matching line
// without "=" has no value, so it gives empty text.
bool MatchNameValue(const std::string& line, const std::string& name, std::string& value)
{
    std::vector<std::string> fields;
    SplitDelimited('=', line, &fields);
    if (fields.empty() || fields[0] != name) {
        return false;
    }
    value = fields.size() > 1 ? fields[1] : std::string();
    return true;
}

void MakeDirIfMissing(const std::string& path)
{
    if (!path.empty() && !platform::DirectoryExists(path)) {
        ::mkdir(path.c_str(), 0755); // a folder that cannot be made is passed over: later steps report it
    }
}

} // namespace

void SplitDelimited(char delimiter, std::string_view text, std::vector<std::string>* list)
{
    if (list == nullptr) {
        throw AssertionError("WarehouseFuncs", 135);
    }
    list->clear();
    if (text.empty()) {
        return;
    }
    std::size_t pos = 0;
    while (true) {
        std::string field;
        if (pos < text.size() && text[pos] == '"') {
            ++pos;
            while (pos < text.size()) {
                if (text[pos] == '"') {
                    if (pos + 1 < text.size() && text[pos + 1] == '"') {
                        field.push_back('"');
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                field.push_back(text[pos++]);
            }
        }
        while (pos < text.size() && text[pos] != delimiter) {
            field.push_back(text[pos++]);
        }
        list->push_back(field);
        if (pos >= text.size()) {
            break;
        }
        ++pos; // the delimiter; one at the very end leaves an empty last field
        if (pos == text.size()) {
            list->push_back(std::string());
            break;
        }
    }
}

void DeleteFilesByMask(const std::string& folder, const std::string& mask)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
    if (!dir) {
        return;
    }
    std::vector<std::string> matches;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) == 0) {
            matches.push_back(name);
        }
    }
    for (const std::string& name : matches) {
        const std::string path = platform::JoinPath(folder, name);
        if (platform::FileExists(path)) {
            ::unlink(path.c_str()); // a file that cannot be deleted is passed over
        }
    }
}

std::int64_t LimitLogSize(const std::string& path)
{
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    const std::int64_t size = info.st_size;
    if (size > kLogSizeLimit) {
        // A log that cannot be emptied keeps growing: say so rather than go on in silence.
        std::error_code error;
        std::filesystem::resize_file(path, 0, error);
        if (error) {
            std::fprintf(stderr, "Cannot empty the activity log \"%s\": %s\n", path.c_str(), error.message().c_str());
        }
    }
    return size;
}

std::string GetShortPath(const std::string& path)
{
    return path;
}

std::string GetLocalAppDataDir()
{
    return platform::LocalDataDir();
}

void CopyFileOrRaise(const std::string& source, const std::string& target)
{
    auto fail = [&](int errorNumber) {
        throw FileError(SystemErrorText(errorNumber) + " : " + "Error Copying File : " + source);
    };
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        fail(errno);
    }
    struct stat info = {};
    ::fstat(in, &info);
    // Write beside the target and rename, so a failed copy never leaves half a file in its place.
    const std::string temporary = target + ".part";
    const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 0777);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        fail(error);
    }
    char buffer[1 << 16];
    int error = 0;
    while (true) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error = errno;
                break;
            }
            done += w;
        }
        if (error) {
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0 && !error) {
        error = errno;
    }
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error) {
        ::unlink(temporary.c_str());
        fail(error);
    }
}

void WriteFileOrRaise(const std::string& path, const std::string& bytes, bool append)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), append ? "ab" : "wb"), &std::fclose);
    if (!file) {
        throw FileError("Cannot create file \"" + path + "\". " + SystemErrorText(errno));
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() || std::fflush(file.get()) != 0) {
        throw FileError("Cannot write to \"" + path + "\". " + SystemErrorText(errno));
    }
}

std::string LogTimestamp(const text::Clock& clock)
{
    return text::DateTimeToText(clock.Now());
}

WarehouseEnv::WarehouseEnv(UserNotice& notice, const text::Clock& clock, std::function<void()> requestEnd)
    : m_notice(notice)
    , m_clock(clock)
    , m_requestEnd(std::move(requestEnd))
{
}

std::string WarehouseEnv::AliasFilePath() const
{
    return platform::ResolveNoCase(platform::ProgramDir(), "DBAlias.ini");
}

std::string WarehouseEnv::GetClaimsDir()
{
    if (!m_claimsDirCache.empty()) {
        return m_claimsDirCache;
    }
    const std::string aliasPath = AliasFilePath();
    std::ifstream in(aliasPath, std::ios::binary);
    const int openError = in ? 0 : errno;
    if (!platform::FileExists(aliasPath) || !in) {
        std::string message = kAliasFileMessage;
        // A file that is there but cannot be read (a failing disk, a share gone away) is named
        // with its reason, or the user would look for a file that exists.
        if (platform::FileExists(aliasPath)) {
            message += "\r\n\r\nCannot read \"" + aliasPath + "\". " + SystemErrorText(openError ? openError : EIO);
        }
        m_notice.ShowMessage(MessageKind::Error, message);
        if (m_requestEnd) {
            m_requestEnd();
        }
        return {};
    }
    std::string value;
    for (const std::string& line : ReadLines(in)) {
        if (line.empty()) {
            continue;
        }
        if (MatchNameValue(line, "KVXClaimsDB", value)) {
            break;
        }
    }
    m_claimsDirCache = value; // an empty value leaves the cache empty: the next call reads again
    return value;
}

std::string WarehouseEnv::ClaimsPath(std::string_view relative)
{
    // Without a claims directory the paths start at the root, as the product's own tools do; never
    // in the folder the tool happened to be started from.
    const std::string claimsDir = GetClaimsDir();
    return platform::ResolvePathNoCase(claimsDir.empty() ? std::string("/") : claimsDir, relative);
}

std::string WarehouseEnv::WarehouseDir()
{
    return ClaimsPath("Warehouse");
}

std::string WarehouseEnv::WarehouseIniPath()
{
    return ClaimsPath("Warehouse/warehouse.ini");
}

std::string WarehouseEnv::ActivityLogPath()
{
    return ClaimsPath("Warehouse/log.txt");
}

std::string WarehouseEnv::ReadWarehouseIniValue(const std::string& name)
{
    const std::string path = WarehouseIniPath();
    std::ifstream in(path, std::ios::binary);
    if (!in || !platform::FileExists(path)) {
        throw FileError("I/O error: cannot read \"" + path + "\". " + SystemErrorText(errno ? errno : ENOENT));
    }
    std::string value;
    for (const std::string& line : ReadLines(in)) {
        if (text::Trim(line).empty()) {
            continue;
        }
        if (MatchNameValue(line, name, value)) {
            return value;
        }
    }
    return {};
}

void WarehouseEnv::PrepareLocalFolders()
{
    std::string root = GetShortPath(GetLocalAppDataDir());
    // Without any known data folder the tree is built from the root (where it cannot usually be
    // made, which the installation check then reports), never in the working folder.
    if (root.empty()) {
        root = "/";
    }
    // The local data folder may not exist yet on a fresh account; the tool's tree needs it.
    {
        for (std::size_t i = 1; i <= root.size(); ++i) {
            if (i == root.size() || root[i] == '/') {
                MakeDirIfMissing(root.substr(0, i));
            }
        }
    }
    const std::string korvan = platform::JoinPath(root, "Korvan");
    const std::string warehouse = platform::JoinPath(korvan, "Warehouse");
    MakeDirIfMissing(korvan);
    MakeDirIfMissing(warehouse);
    MakeDirIfMissing(platform::JoinPath(warehouse, "Upload"));
    MakeDirIfMissing(platform::JoinPath(warehouse, "TempArcs"));

    const std::string localTempArcs = platform::JoinPath(warehouse, "TempArcs");
    if (!platform::FileExists(platform::ResolveNoCase(localTempArcs, "ARCS.DB"))) {
        const std::string templateDir = ClaimsPath("Warehouse/TempArcs");
        std::vector<std::string> names;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(templateDir.c_str()), ::closedir);
        if (dir) {
            while (const dirent* entry = ::readdir(dir.get())) {
                if (::fnmatch("ARCS.*", entry->d_name, FNM_CASEFOLD) == 0
                    && platform::FileExists(platform::JoinPath(templateDir, entry->d_name))) {
                    names.emplace_back(entry->d_name);
                }
            }
        }
        std::sort(names.begin(), names.end());
        try {
            for (const std::string& name : names) {
                CopyFileOrRaise(platform::JoinPath(templateDir, name), platform::JoinPath(localTempArcs, name));
            }
        } catch (const Error& e) {
            m_notice.ShowMessage(MessageKind::Error, std::string(e.what()) + "\r\n" + "Coy Arc Failed");
        }
    }

    m_localWarehouseDir = warehouse;
    m_uploadDir = platform::JoinPath(m_localWarehouseDir, "Upload");
    m_tempArcsDir = platform::JoinPath(m_localWarehouseDir, "TempArcs");
    m_currentUserName = "MANAGER";
    m_currentUserID = 1;

    IniFile machine;
    machine.Load(platform::ResolveNoCase(warehouse, "Warehouse.ini"));
    const std::string user = machine.ReadString("MachineUser", "User", "");
    const int uid = machine.ReadInteger("MachineUser", "UID", 0);
    if (!user.empty()) {
        m_currentUserName = user;
    }
    m_currentUserID = uid;
    if (uid == 0) {
        m_currentUserName = "MANAGER";
        m_currentUserID = 1;
    }
}

void WarehouseEnv::SetCurrentUser(const std::string& name, int id)
{
    m_currentUserName = name;
    m_currentUserID = id;
}

} // namespace wh::env
