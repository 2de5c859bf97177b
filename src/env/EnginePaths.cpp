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
    const auto showEngineError = [&env](const std::string& folder, const std::string& reason) {
        env.Notice().ShowMessage(MessageKind::Error,
                                 "Could not set BDE Private Directory to\r\n  " + folder + "\r\n" + "ERROR: " + reason
                                     + "\r\n" + "Please contact Technical Support");
    };
    std::string temp;
    try {
        temp = GetShortPath(platform::TempDir());
    } catch (const FileError& e) {
        // The user's temporary folder is not safely theirs: name the folder it would have been.
        folders.privateDir = platform::JoinPath(GetShortPath(platform::TempDirPath()), "Warehouse");
        showEngineError(folders.privateDir, e.what());
    }
    if (!temp.empty()) {
        std::string privateDir = platform::JoinPath(temp, "Warehouse");
        if (!platform::DirectoryExists(privateDir) && ::mkdir(privateDir.c_str(), 0700) != 0) {
            privateDir = temp;
        }
        if (::access(privateDir.c_str(), W_OK | X_OK) != 0) {
            showEngineError(privateDir, SystemErrorText(errno));
        }
        folders.privateDir = privateDir;
    }
    folders.networkDir = env.GetClaimsDir() + "/Network";
    return folders;
}

} // namespace wh::env
