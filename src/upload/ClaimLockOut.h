#pragma once

#include <string>

namespace wh::upload {

// The claim folder's LockOut.txt, which keeps the adjusting product away from a claim while the
// tool works on it (and the tool away while the product does). Taking it means: open or create
// the file, hold an exclusive flock(2) without waiting, then empty it. At most one is held.
class ClaimLockOut
{
public:
    ClaimLockOut() = default;
    ~ClaimLockOut();
    ClaimLockOut(const ClaimLockOut&) = delete;
    ClaimLockOut& operator=(const ClaimLockOut&) = delete;

    // Gives up any earlier lock-out file, then takes the one of `claimFolder`. False when another
    // program holds it or it cannot be made (a missing folder, for instance); nothing is then held.
    bool AcquireClaimLockOut(const std::string& claimFolder);

    // Gives up the file held and removes the file at the last path taken. A file that another
    // program holds stays where it is: removing it would take the product's lock away.
    void ReleaseClaimLockOut();

    bool Held() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    int m_fd = -1;
};

} // namespace wh::upload
