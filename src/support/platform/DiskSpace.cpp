#include "support/platform/DiskSpace.h"

#include "support/Errors.h"

#include <cerrno>
#include <sys/statvfs.h>

namespace wh::platform {

std::uint64_t FreeBytes(const std::string& folder)
{
    struct statvfs info = {};
    if (::statvfs(folder.c_str(), &info) != 0) {
        const int err = errno;
        throw FileError("Cannot read the free space of " + folder + ": " + SystemErrorText(err));
    }
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

} // namespace wh::platform
