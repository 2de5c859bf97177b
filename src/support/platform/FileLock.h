#pragma once

#include <string>

namespace wh::platform {

// A whole-file advisory lock taken with flock(2), never waiting: the convention that the lock-out
// files, the table opens and the single-instance lock share with other programs on the machine.
// The lock lives as long as the object; moving passes it on.
class FileLock
{
public:
    enum class Mode { Shared, Exclusive };
    enum class Outcome { Locked, HeldElsewhere, CannotOpen };

    FileLock() = default;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Opens (creating it when `create` is set) and locks the file. On failure the object stays
    // unlocked and `errorNumber` tells why the file could not be opened.
    Outcome Acquire(const std::string& path, Mode mode, bool create);

    bool IsLocked() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    int ErrorNumber() const { return m_errorNumber; }
    // Why the file was opened for reading only (EACCES, EROFS); 0 when it is open for writing.
    int ReadOnlyReason() const { return m_readOnlyReason; }
    void Release();

private:
    int m_fd = -1;
    int m_errorNumber = 0;
    int m_readOnlyReason = 0;
};

} // namespace wh::platform
