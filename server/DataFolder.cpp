// The data folder itself: made, and kept its owner's alone.

#include "DataFolder.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::server {

namespace fs = std::filesystem;

void MakePrivateDataFolder(const std::string& dataDir)
{
    fs::create_directories(dataDir);
    struct stat info
    {
    };
    if (::stat(dataDir.c_str(), &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 077) != 0) {
        fs::permissions(dataDir, fs::perms::owner_all, fs::perm_options::replace);
    }
}

} // namespace wh::server
