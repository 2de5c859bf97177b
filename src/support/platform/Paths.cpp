#include "support/platform/Paths.h"

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

std::string LocalDataDir()
{
    const std::string xdg = EnvOrEmpty("XDG_DATA_HOME");
    if (!xdg.empty()) {
        return WithoutTrailingSeparator(xdg);
    }
    const std::string home = EnvOrEmpty("HOME");
    if (home.empty()) {
        return {};
    }
    return JoinPath(home, ".local/share");
}

std::string TempDir()
{
    const std::string tmp = EnvOrEmpty("TMPDIR");
    return tmp.empty() ? std::string("/tmp") : WithoutTrailingSeparator(tmp);
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
