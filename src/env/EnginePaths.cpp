#include "env/EnginePaths.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"

namespace wh::env {

EngineFolders SetEnginePaths(WarehouseEnv& env)
{
    EngineFolders folders;
    const std::string temp = GetShortPath(platform::TempDir());
    std::string privateDir = platform::JoinPath(temp, "Warehouse");
    if (!platform::DirectoryExists(privateDir) && ::mkdir(privateDir.c_str(), 0700) != 0) {
        privateDir = temp;
    }
    if (::access(privateDir.c_str(), W_OK | X_OK) != 0) {
        env.Notice().ShowMessage(MessageKind::Error,
                                 "Could not set BDE Private Directory to\r\n  " + privateDir + "\r\n" + "ERROR: "
                                     + SystemErrorText(errno) + "\r\n" + "Please contact Technical Support");
    }
    folders.privateDir = privateDir;
    folders.networkDir = env.GetClaimsDir() + "/Network";
    return folders;
}

} // namespace wh::env
