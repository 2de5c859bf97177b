#pragma once

#include "support/zip/ZipEvents.h"
#include "support/zip/ZipWriter.h"

#include <cstdint>
#include <string>

namespace wh::env {
class WarehouseEnv;
}

namespace wh {

// The holder of one claim archive build: the engine writing the archive and whether the claim
// folder's image tables go in. Its filter keeps lock and log files out (and the image tables,
// when they are not wanted); the engine asks it about every file before adding it.
class TArcObj
{
public:
    // Starts the engine on `archivePath`. Errors: as zip::ZipWriter.
    TArcObj(std::string archivePath, bool includeImageTables);

    zip::ZipWriter Engine;
    bool IncludeImageTables;

    // Applies the filter to the add, update and extract operations; `confirm` starts as true.
    void ArcConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const;
};

// Where the archive of a claim is built: UploadDir + "/" + the server claim id + ".KVZ".
std::string ClaimArchivePath(const env::WarehouseEnv& environment, std::int64_t serverClaimID);

// Packs the claim folder (claims directory/claimDir/claimSubdir, every file at any depth, under
// names relative to the claims directory) and then the ARCS.* files of TempArcsDir (at the root)
// into the claim archive, replacing any earlier file there. Nothing is thrown: a failure is
// written as "Exception: " + its message to standard output, leaves no archive at the path (so
// no stale or partial archive can be sent) and is returned, naming the file and the reason; empty
// text when the archive was built.
std::string BuildClaimArchive(env::WarehouseEnv& environment, const std::string& claimDir,
                              const std::string& claimSubdir, std::int64_t serverClaimID, bool includeImageTables);

} // namespace wh
