#include "support/platform/FileLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace wh::platform {

FileLock::FileLock(FileLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_errorNumber(other.m_errorNumber)
{
}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        Release();
        m_fd = std::exchange(other.m_fd, -1);
        m_errorNumber = other.m_errorNumber;
    }
    return *this;
}

FileLock::~FileLock()
{
    Release();
}

FileLock::Outcome FileLock::Acquire(const std::string& path, Mode mode, bool create)
{
    Release();
    const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    m_readOnlyReason = 0;
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0 && !create && (errno == EACCES || errno == EROFS)) {
        const int refused = errno;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); // a read-only file can still carry a lock
        m_readOnlyReason = fd >= 0 ? refused : 0;
    }
    if (fd < 0) {
        m_errorNumber = errno;
        return Outcome::CannotOpen;
    }
    const int operation = (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    while (::flock(fd, operation) != 0) {
        if (errno == EINTR) {
            continue;
        }
        m_errorNumber = errno;
        ::close(fd);
        return m_errorNumber == EWOULDBLOCK ? Outcome::HeldElsewhere : Outcome::CannotOpen;
    }
    m_fd = fd;
    m_errorNumber = 0;
    return Outcome::Locked;
}

void FileLock::Release()
{
    if (m_fd >= 0) {
        ::close(m_fd); // closing the descriptor drops the flock
        m_fd = -1;
    }
}

} // namespace wh::platform
