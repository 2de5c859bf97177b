#include "upload/ClaimLockOut.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/platform/Paths.h"

namespace wh::upload {

ClaimLockOut::~ClaimLockOut()
{
    ReleaseClaimLockOut();
}

bool ClaimLockOut::AcquireClaimLockOut(const std::string& claimFolder)
{
    ReleaseClaimLockOut();
    m_path = platform::ResolveNoCase(claimFolder, "LockOut.txt");
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        return false;
    }
    // Truncating before the lock is ours would empty a file the product is using.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void ClaimLockOut::ReleaseClaimLockOut()
{
    if (m_fd >= 0) {
        // Removed while still locked, so nobody takes a file that is about to vanish.
        ::unlink(m_path.c_str());
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    if (m_path.empty()) {
        return;
    }
    // A file left behind closed is removed; one that another program holds under its lock stays.
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        ::unlink(m_path.c_str());
    }
    ::close(fd);
}

} // namespace wh::upload
