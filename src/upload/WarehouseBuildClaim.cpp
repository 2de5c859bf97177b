#include "upload/WarehouseBuildClaim.h"

#include "auxfiles/Bld_Claim_File.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"
#include "upload/ClaimFolder.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace wh {
namespace {

// An earlier archive must not outlive a failed build: the caller sends whatever stands at the
// path, and an old claim version would then be stored as the current one.
void RemoveEarlierArchive(const std::string& archivePath)
{
    if (::unlink(archivePath.c_str()) != 0 && errno != ENOENT) {
        throw ArchiveError("Cannot replace the earlier archive " + archivePath + ": " + SystemErrorText(errno));
    }
}

// The claim folder's path below the claims directory as it is spelled on disk, so that the walk
// finds it whatever case the record uses.
std::string ClaimFolderOnDisk(const std::string& claimsDir, const std::string& claimDir, const std::string& claimSubdir)
{
    const upload::ClaimFolder folder = upload::FindClaimFolder(claimsDir, claimDir, claimSubdir);
    if (folder.state == upload::ClaimFolder::State::Refused) {
        throw ArchiveError("The archive cannot be built: " + folder.problem);
    }
    if (folder.state == upload::ClaimFolder::State::Missing) {
        throw ArchiveError("The claim folder " + folder.path + " does not exist");
    }
    return folder.relative;
}

} // namespace

TArcObj::TArcObj(std::string archivePath, bool includeImageTables)
    : Engine(std::move(archivePath))
    , IncludeImageTables(includeImageTables)
{
    Engine.SetConfirmHandler([this](const std::string& name, zip::Operation operation) {
        bool confirm = true;
        ArcConfirmProcessFile(name, operation, confirm);
        return confirm;
    });
}

void TArcObj::ArcConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const
{
    if (operation != zip::Operation::Add && operation != zip::Operation::Update
        && operation != zip::Operation::Extract) {
        return;
    }
    if (IsLockOrLogFile(fileName)) {
        confirm = false;
        return;
    }
    if (!IncludeImageTables) {
        const std::string name = text::UpperCase(BareFileName(fileName));
        for (const char* imageTable : { "IMAGE.DB", "IMAGE.MB", "IMAGE.PX" }) {
            if (name.find(imageTable) != std::string::npos) {
                confirm = false;
                return;
            }
        }
    }
}

std::string ClaimArchivePath(const env::WarehouseEnv& environment, std::int64_t serverClaimID)
{
    return platform::JoinPath(environment.UploadDir(), std::to_string(serverClaimID) + ".KVZ");
}

std::string BuildClaimArchive(env::WarehouseEnv& environment, const std::string& claimDir,
                              const std::string& claimSubdir, std::int64_t serverClaimID, bool includeImageTables)
{
    const std::string claimsDir = environment.GetClaimsDir();
    const std::string archivePath = ClaimArchivePath(environment, serverClaimID);
    try {
        if (environment.UploadDir().empty() || environment.TempArcsDir().empty()) {
            throw ArchiveError("The tool's upload folders are not prepared; the archive of claim "
                               + std::to_string(serverClaimID) + " cannot be built");
        }
        RemoveEarlierArchive(archivePath);
        if (claimsDir.empty()) {
            throw ArchiveError("The claims directory is not known; the archive " + archivePath + " cannot be built");
        }
        const std::string claimFolder = ClaimFolderOnDisk(claimsDir, claimDir, claimSubdir);
        TArcObj holder(archivePath, includeImageTables);
        holder.Engine.AddFiles(claimsDir, claimFolder + "/*.*", true);
        holder.Engine.AddFiles(environment.TempArcsDir(), "ARCS.*", false);
        holder.Engine.Close();
        return {};
    } catch (const std::exception& e) {
        // A console, when there is one, shows it as it happens; the caller tells the user.
        const std::string line = std::string("Exception: ") + e.what() + "\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        return e.what();
    }
}

} // namespace wh
