// whupload-cli claim: what an upload would send for one claim, without sending it.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "TerminalUserNotice.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/Clock.h"
#include "upload/UploadClaim.h"
#include "upload/WarehouseBuildClaim.h"
#include "upload/WarehouseJSON.h"

namespace wh::cli {
namespace {

// An installation without its claims directory: the command cannot start, which is not the
// same as failing on the claim it was given.
class NoClaimsDirectory : public FileError
{
public:
    using FileError::FileError;
};

// The claims directory named by DBAlias.ini; its absence has been shown already by the notice.
std::string ClaimsDirOrRaise(env::WarehouseEnv& environment)
{
    const std::string claimsDir = environment.GetClaimsDir();
    if (claimsDir.empty() || !platform::DirectoryExists(claimsDir)) {
        throw NoClaimsDirectory("No claims directory: DBAlias.ini (" + environment.AliasFilePath()
                                + ") names none that exists");
    }
    return claimsDir;
}

// Opens the claims table and moves to the record of `claimId`.
std::unique_ptr<paradox::Table> OpenClaim(const std::string& claimsDir, std::int64_t claimId)
{
    auto claims = std::make_unique<paradox::Table>(claimsDir, "Claims.DB");
    claims->Open(paradox::OpenMode::Shared);
    paradox::Field& key = claims->FieldByName("ClaimID");
    for (claims->First(); !claims->Eof(); claims->Next()) {
        if (!key.IsNull() && key.AsInteger() == claimId) {
            return claims;
        }
    }
    throw TableError("Claim " + std::to_string(claimId) + " is not in the claims table " + claims->Path());
}

// Refills the one-record ARCS table with the claim's record, as an upload does before packing.
void FillArcsTable(const std::string& tempArcsDir, paradox::Table& claims)
{
    paradox::Table::EmptyTable(tempArcsDir, "Arcs.DB");
    paradox::Table arcs(tempArcsDir, "Arcs.DB");
    arcs.Open(paradox::OpenMode::Shared);
    arcs.Append();
    upload::CopyRecordFields(claims, arcs);
    arcs.Post();
    arcs.Flush();
    arcs.Close();
}

void PrintClaimJSON(std::int64_t claimId)
{
    TerminalUserNotice notice;
    text::SystemClock clock;
    env::WarehouseEnv environment(notice, clock, [] {});
    const auto claims = OpenClaim(ClaimsDirOrRaise(environment), claimId);
    json::ObjectBuilder document;
    BuildClaimJSON(*claims, document);
    const std::string text = document.Text();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void BuildArchive(std::int64_t claimId, std::int64_t serverClaimId)
{
    TerminalUserNotice notice;
    text::SystemClock clock;
    env::WarehouseEnv environment(notice, clock, [] {});
    const std::string claimsDir = ClaimsDirOrRaise(environment);
    environment.PrepareLocalFolders();
    const auto claims = OpenClaim(claimsDir, claimId);
    FillArcsTable(environment.TempArcsDir(), *claims);
    const std::string claimDir = claims->FieldByName("Claimdir").AsText();
    const std::string claimSubdir = claims->FieldByName("ClaimSubdir").AsText();
    claims->Close();

    // An upload always packs the image tables (it runs signed in).
    const std::string failure = BuildClaimArchive(environment, claimDir, claimSubdir, serverClaimId, true);
    const std::string archivePath = ClaimArchivePath(environment, serverClaimId);
    if (!failure.empty() || !platform::FileExists(archivePath)) {
        throw ArchiveError("The archive " + archivePath + " of claim " + std::to_string(claimId) + " was not built"
                           + (failure.empty() ? std::string() : ": " + failure));
    }
    std::printf("%s\n", archivePath.c_str());
}

// Runs one command and turns its error into a message on standard error and its exit code.
template <typename Command> void Guarded(int& exitCode, Command command)
{
    try {
        command();
    } catch (const NoClaimsDirectory& error) {
        std::fflush(stdout);
        std::cerr << error.what() << '\n';
        exitCode = ExitCannotStart;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::cerr << error.what() << '\n';
        exitCode = ExitFailed;
    }
}

} // namespace

void AddClaimCommands(CLI::App& app, int& exitCode)
{
    auto* claim = app.add_subcommand("claim", "What an upload sends for one claim of the claims table");
    claim->require_subcommand(1);

    auto* json = claim->add_subcommand("json", "Print the claim's summary document exactly as it is sent");
    auto jsonClaimId = std::make_shared<std::int64_t>(0);
    json->add_option("CLAIMID", *jsonClaimId, "ClaimID of the claim in Claims.DB")->required();
    json->callback([jsonClaimId, &exitCode] { Guarded(exitCode, [&] { PrintClaimJSON(*jsonClaimId); }); });

    auto* archive = claim->add_subcommand("archive",
                                          "Build the claim's archive as an upload does (without stamping "
                                          "the claim or sending it) and print its path");
    auto archiveClaimId = std::make_shared<std::int64_t>(0);
    auto serverClaimId = std::make_shared<std::int64_t>(0);
    archive->add_option("CLAIMID", *archiveClaimId, "ClaimID of the claim in Claims.DB")->required();
    archive->add_option("SERVERID", *serverClaimId, "Server claim id the archive is named after")->required();
    archive->callback([archiveClaimId, serverClaimId, &exitCode] {
        Guarded(exitCode, [&] { BuildArchive(*archiveClaimId, *serverClaimId); });
    });
}

} // namespace wh::cli
