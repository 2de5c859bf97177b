#include "upload/ProcessClaims.h"

#include <cstdio>
#include <memory>

#include "env/ActivityLog.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/paradox/Table.h"
#include "support/text/StringUtil.h"
#include "upload/ClaimFolder.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::upload {
namespace {

const std::string kNewRule(28, '*');
const std::string kExistingRule(32, '*');

// The debug trace of the walk: replaced at the start of a run, appended to per record.
class TraceFile
{
public:
    TraceFile(env::WarehouseEnv& env, bool enabled)
        : m_path(enabled ? env.ClaimsPath("Warehouse/ProcessFileList.txt") : std::string())
    {
        if (!m_path.empty()) {
            env::WriteFileOrRaise(m_path, "Processing Claims\r\n");
        }
    }

    void Record(paradox::Table& claims)
    {
        if (m_path.empty()) {
            return;
        }
        const auto text = [&claims](const char* name) {
            paradox::Field* field = claims.FindField(name);
            return field ? field->AsText() : std::string();
        };
        const std::string claimNumber = text("ClaimNumber");
        env::WriteFileOrRaise(m_path,
                              "WHT Processing Claim " + claimNumber + "\r\n" + " Server Claim Number : "
                                  + text("SrvClaimID") + "\r\n" + " Policy Number : " + text("PolicyNumber") + "\r\n"
                                  + " Claim Number : " + claimNumber + "\r\n"
                                  + " Ins First Name : " + text("Primary Ins First Name") + "\r\n"
                                  + " Ins Last Name : " + text("Primary Ins Last Name") + "\r\n",
                              true);
    }

private:
    std::string m_path;
};

bool IsEligible(paradox::Table& claims, bool uploadAll)
{
    if (claims.FieldByName("Claimdir").AsText() == "trash") {
        return false;
    }
    const std::int64_t claimType = claims.FieldByName("ClaimType").AsInteger();
    if (claimType == 5 || claimType == 9) {
        return false;
    }
    const bool closed
        = claims.FieldByName("ClaimisClosed").AsText() == "True" || !claims.FieldByName("DClosed").IsNull();
    return uploadAll || closed;
}

} // namespace

std::int64_t ParseServerClaimId(const std::string& answer)
{
    const std::string digits = text::Trim(answer);
    std::int64_t value = 0;
    bool valid = !digits.empty() && digits.size() <= 10;
    for (std::size_t i = 0; valid && i < digits.size(); ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            valid = false;
        } else {
            value = value * 10 + (digits[i] - '0');
        }
    }
    if (!valid || value > 2147483647) {
        throw Error("'" + answer.substr(0, 80) + "' is not a valid integer value");
    }
    return value;
}

namespace {

void NewClaim(UploadRunContext& run, paradox::Table& claims, const std::string& claimFolder,
              const std::string& claimNumber)
{
    {
        env::ActivityLog log(run.Env);
        log.WriteLine(kNewRule);
        log.WriteStamped("Processing NEW claim number " + claimNumber);
        log.WriteLine(kNewRule);
    }
    // An id the claim cannot keep stays unused on the server, and the server hands out only so
    // many of those: a claim that cannot be stamped ends the run before it asks for one.
    CheckClaimCanBeStamped(claims, claimFolder);
    const std::string answer = warehouse::GetClaimSequences(run.Session);
    if (answer.empty()) {
        // The claim stays new: the next run asks again.
        ReportNotStored(run, claimNumber,
                        "the server handed out no claim id (Seq_Claims.txt in " + run.Env.WarehouseDir()
                            + " says why)");
        return;
    }
    UploadClaim(run, claims, true, ParseServerClaimId(answer));
}

void ExistingClaim(UploadRunContext& run, paradox::Table& claims, const ServerClaimIndex& serverClaims,
                   std::int64_t storedId, const std::string& claimNumber)
{
    const std::int64_t localId = storedId < 0 ? -storedId : storedId;
    const std::int64_t localVersion = claims.FieldByName("CLVersion").AsInteger();
    if (const auto serverVersion = serverClaims.VersionOf(localId)) {
        if (ClaimIsCurrentOnServer(localId, localId, *serverVersion, localVersion)) {
            return;
        }
        {
            env::ActivityLog log(run.Env);
            log.WriteLine(kExistingRule);
            log.WriteStamped("Processing existing claim number " + claimNumber);
            log.WriteLine(kExistingRule);
        }
        UploadClaim(run, claims, false, localId);
        return;
    }
    env::ActivityLog(run.Env).WriteStamped("!!!! EXISTING CLAIM NOT PROCESSED " + claimNumber);
    UploadClaim(run, claims, false, localId);
}

} // namespace

ServerClaimIndex::ServerClaimIndex(const json::Value& serverClaimList)
{
    if (!serverClaimList.is_array()) {
        return;
    }
    m_versions.reserve(serverClaimList.size());
    for (const json::Value& element : serverClaimList) {
        if (!element.is_object()) {
            continue;
        }
        const auto id = json::MemberInteger(element, "id");
        const auto version = json::MemberInteger(element, "version");
        if (id && version) {
            m_versions.emplace(*id, *version); // an id listed earlier keeps its entry
        }
    }
}

std::optional<std::int64_t> ServerClaimIndex::VersionOf(std::int64_t serverClaimID) const
{
    const auto found = m_versions.find(serverClaimID);
    if (found == m_versions.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool ClaimIsCurrentOnServer(std::int64_t serverId, std::int64_t localId, std::int64_t serverVersion,
                            std::int64_t localVersion)
{
    return !(serverId == localId && serverVersion < localVersion);
}

void ProcessClaims(UploadRunContext& run, const ServerClaimIndex& serverClaims, ClaimLockOut& lockOut)
{
    paradox::Table claims(run.Env.ClaimsPath(""), "Claims.DB");
    claims.Open(paradox::OpenMode::Shared);
    TraceFile trace(run.Env, run.DebugMode);
    const std::int64_t total = claims.RecordCount();
    std::int64_t index = 0;
    try {
        for (claims.First(); !claims.Eof(); claims.Next()) {
            if (run.StopRequested && *run.StopRequested) {
                throw RunStopped("The tool is closing; the remaining claims wait for the next run.");
            }
            ++index;
            const std::string claimNumber = claims.FieldByName("ClaimNumber").AsText();
            run.Position = { ClaimProgress::Step::Examining, index, total, claimNumber, {} };
            if (run.Progress) {
                run.Progress(run.Position);
            }
            trace.Record(claims);
            // Nothing is done in a claim's name before its folder is known to be its own; a
            // folder that is not there is passed over silently, as its lock-out file cannot be made.
            const ClaimFolder folder = FindClaimFolder(run.Env.GetClaimsDir(), claims);
            if (folder.state == ClaimFolder::State::Refused) {
                env::ActivityLog(run.Env).WriteStamped("WHT claim " + claimNumber + " skipped: " + folder.problem);
            }
            if (folder.state == ClaimFolder::State::Found && lockOut.AcquireClaimLockOut(folder.path)
                && IsEligible(claims, run.UploadAll)) {
                const std::int64_t storedId = claims.FieldByName("SrvClaimID").AsInteger();
                if (storedId == 0) {
                    NewClaim(run, claims, folder.path, claimNumber);
                } else {
                    ExistingClaim(run, claims, serverClaims, storedId, claimNumber);
                }
            }
            lockOut.ReleaseClaimLockOut();
        }
    } catch (...) {
        lockOut.ReleaseClaimLockOut();
        throw;
    }
    claims.Close();
}

} // namespace wh::upload
