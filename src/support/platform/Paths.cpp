#include "support/platform/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/Errors.h"
#include "support/text/StringUtil.h"

namespace wh::platform {
namespace {

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string WithoutTrailingSeparator(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// Only absolute folders count: a relative one would put files wherever the tool was started.
std::string AbsoluteOrEmpty(std::string path)
{
    path = WithoutTrailingSeparator(std::move(path));
    return !path.empty() && path.front() == '/' ? path : std::string();
}

std::string HomeDir()
{
    const std::string home = AbsoluteOrEmpty(EnvOrEmpty("HOME"));
    if (!home.empty()) {
        return home;
    }
    // A session without HOME (a service, a scheduled job) still has an account with a home folder.
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
        return AbsoluteOrEmpty(found->pw_dir);
    }
    return {};
}

} // namespace

std::string LocalDataDir()
{
    const std::string xdg = AbsoluteOrEmpty(EnvOrEmpty("XDG_DATA_HOME"));
    if (!xdg.empty()) {
        return xdg;
    }
    const std::string home = HomeDir();
    if (home.empty()) {
        return {};
    }
    return JoinPath(home, ".local/share");
}

std::string TempDirPath()
{
    const std::string tmp = EnvOrEmpty("TMPDIR");
    if (!tmp.empty()) {
        return WithoutTrailingSeparator(tmp);
    }
    return "/tmp/whupload-" + std::to_string(::geteuid());
}

std::string TempDir()
{
    const std::string tmp = EnvOrEmpty("TMPDIR");
    if (!tmp.empty()) {
        return WithoutTrailingSeparator(tmp);
    }
    return UserTempDir("/tmp", ::geteuid());
}

std::string UserTempDir(const std::string& parent, unsigned uid)
{
    const std::string path = JoinPath(parent, "whupload-" + std::to_string(uid));
    const std::string remedy = " Remove it, or set TMPDIR to a folder of your own.";
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw FileError("Cannot create the temporary folder \"" + path + "\". " + SystemErrorText(errno)
                        + " Set TMPDIR to a folder of your own.");
    }
    struct stat info = {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw FileError("Cannot use the temporary folder \"" + path + "\". " + SystemErrorText(errno));
    }
    if (S_ISLNK(info.st_mode)) {
        throw FileError("The temporary folder \"" + path + "\" is a link, which another user may have planted."
                        + remedy);
    }
    if (!S_ISDIR(info.st_mode)) {
        throw FileError("The temporary folder \"" + path + "\" is not a folder." + remedy);
    }
    if (info.st_uid != uid) {
        throw FileError("The temporary folder \"" + path + "\" belongs to another user (uid "
                        + std::to_string(info.st_uid) + ")." + remedy);
    }
    if ((info.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        throw FileError("Cannot make the temporary folder \"" + path + "\" private. " + SystemErrorText(errno));
    }
    return path;
}

std::string ProgramDir()
{
    const std::string overridden = EnvOrEmpty("WHUPLOAD_PROGRAM_DIR");
    if (!overridden.empty()) {
        return WithoutTrailingSeparator(overridden);
    }
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return WithoutTrailingSeparator(std::filesystem::current_path(ec).string());
    }
    return exe.parent_path().string();
}

std::string RuntimeDir()
{
    return WithoutTrailingSeparator(EnvOrEmpty("XDG_RUNTIME_DIR"));
}

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (!path.empty() && path.back() != '/') {
        path.push_back('/');
    }
    while (!name.empty() && name.front() == '/' && !path.empty()) {
        name.remove_prefix(1);
    }
    path.append(name);
    return path;
}

std::string ResolveNoCase(std::string_view folder, std::string_view name)
{
    const std::string exact = JoinPath(folder, name);
    struct stat info = {};
    if (::lstat(exact.c_str(), &info) == 0) {
        return exact;
    }
    const std::string dirPath = folder.empty() ? std::string(".") : std::string(folder);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dirPath.c_str()), ::closedir);
    if (!dir) {
        return exact;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (text::EqualsIgnoreCase(entry->d_name, name)) {
            return JoinPath(folder, entry->d_name);
        }
    }
    return exact;
}

std::string ResolvePathNoCase(std::string_view base, std::string_view relative)
{
    std::string current(base);
    std::string piece;
    auto flush = [&] {
        if (!piece.empty()) {
            current = ResolveNoCase(current, piece);
            piece.clear();
        }
    };
    for (char c : relative) {
        if (c == '/' || c == '\\') {
            flush();
        } else {
            piece.push_back(c);
        }
    }
    flush();
    return current;
}

bool FileExists(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DirectoryExists(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace wh::platform
