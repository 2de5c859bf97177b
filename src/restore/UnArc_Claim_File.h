#pragma once

#include <cstdint>
#include <string>

namespace wh::env {
class WarehouseEnv;
}

namespace wh::paradox {
class Table;
}

// Puts a claim archive downloaded from the warehouse server back into the local claims database as
// a new local claim: a new record of Claims.DB with the next claim number, and a new claim folder
// holding the archive's files.
namespace wh::restore {

// The version comparison's outcomes a restore is called with (the download's ClaimVersionState
// codes): the claim is not on this workstation, the server's version is newer, the local one is.
inline constexpr int kRestoreNotOnThisSystem = 4;
inline constexpr int kRestoreServerNewer = 3;
inline constexpr int kRestoreLocalNewer = 1;

// Restores the archive at `archivePath` (the claim folder's files under claimdir/claimsubdir/ and
// the one-record ARCS table at the root) through the caller's open `claimsTable`. The claim
// folder's files land flat in the new folder; files of one name from different folders are all
// kept, the later ones under free names ("IMG_0001 (2).JPG"), and the user is told which.
//
// With state kRestoreNotOnThisSystem the claim goes into the inbox (box -200); with `treatAsNew`
// it also loses its server identity, so a later upload stores it as a new claim. Otherwise it takes
// the place of local claim `localClaimID`: same box and claim directory, the old record deleted,
// the old folder emptied and removed (or listed in deldir), the old image tables carried over when
// the archive brings none. When they cannot be carried over, the restore is taken back: the old
// folder is their only copy.
//
// An archive whose members declare more than their disk has free (less a margin for the product)
// is refused before anything is written.
//
// The restore is all or nothing: when the archive proves incomplete, or any table, file or archive
// error interrupts it, the new record and folder are taken back and the user is told; the local
// claim being replaced stays as it was. The ARCS table is staged in `privateDir` (the table
// engine's private folder). The downloaded file is deleted after a complete or an incomplete
// archive and kept when an error stopped the restore, so it can be tried again.
//
// Only an error opening the archive is passed on (nothing has changed then); every other failure
// is shown through the environment's UserNotice.
void RestoreClaimArchive(env::WarehouseEnv& env, const std::string& privateDir, paradox::Table& claimsTable,
                         const std::string& archivePath, int state, bool treatAsNew, std::int64_t localClaimID);

} // namespace wh::restore
