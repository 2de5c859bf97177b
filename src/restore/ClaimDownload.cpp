#include "restore/ClaimDownload.h"

#include "env/UserNotice.h"
#include "env/WarehouseFuncs.h"
#include "restore/UnArc_Claim_File.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"
#include "warehouse/WarehouseTrans.h"

#include <array>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::restore {
namespace {

const char* const kDocumentUnreadable = "Error retrieving claim information data";
const char* const kDownloadFailed = "Error Downloading Claim File. Please contact Support";

void SetStatus(const DownloadContext& context, const std::string& text)
{
    if (context.setStatus) {
        context.setStatus(text);
    }
}

std::string NumberLines(const std::string& claimNumber, const std::string& policyNumber)
{
    return "The claim #: \"" + text::Trim(claimNumber) + "\",\r\n" + "       policy #: \" " + text::Trim(policyNumber)
        + "\"\r\n";
}

std::string NotOnThisSystemQuestion(const DownloadRow& row)
{
    return NumberLines(row.claimNumber, row.policyNumber)
        + "was not found on your system!\r\n"
          "\r\n"
          "This claim will be considered \"new\".  If it is uploaded to\r\n"
          "the Data Warehouse, it will be stored as a \"new\" claim. \r\n"
          " \r\n"
          "Do you want to download this claim?";
}

std::string ServerNewerQuestion(const DownloadRow& row)
{
    return "The selected claim \"" + text::Trim(row.claimNumber)
        + "\" has a newer\r\n"
          "version on the server.\r\n"
          "\r\n"
          "Do you want to download the newer version from the\r\n"
          " server replacing the older local version of claim?";
}

std::string LocalNewerQuestion(const DownloadRow& row)
{
    return NumberLines(row.claimNumber, row.policyNumber)
        + "has a newer version on your local computer!\r\n"
          "\r\n"
          "If you download this claim, any new estimate information\r\n"
          "you may have edited will be LOST. \r\n"
          " \r\n"
          "Do you want to download this claim?";
}

} // namespace

std::optional<std::int64_t> ServerVersion(const std::string& documentText)
{
    const std::optional<json::Value> document = json::Parse(documentText);
    if (!document || !document->is_object()) {
        return std::nullopt;
    }
    return json::MemberInteger(*document, "claim_version");
}

LocalClaimMatch FindLocalClaim(paradox::Table& claims, std::int64_t serverId, std::int64_t serverVersion)
{
    paradox::Field& srvClaimId = claims.FieldByName("SrvClaimID");
    paradox::Field& claimId = claims.FieldByName("ClaimID");
    paradox::Field& version = claims.FieldByName("ClVersion");
    for (claims.First(); !claims.Eof(); claims.Next()) {
        // A claim never uploaded holds 0 or nothing here; it is no copy of any server claim, so
        // an id of 0 (a result row without a real id) must not pair up with it.
        if (serverId <= 0 || srvClaimId.IsNull() || srvClaimId.AsInteger() != serverId) {
            continue;
        }
        LocalClaimMatch match;
        match.localClaimId = claimId.AsInteger();
        const std::int64_t localVersion = version.AsInteger();
        if (localVersion < serverVersion) {
            match.state = ClaimVersionState::ServerNewer;
        } else if (localVersion > serverVersion) {
            match.state = ClaimVersionState::LocalNewer;
        } else {
            match.state = ClaimVersionState::SameVersion;
        }
        return match;
    }
    return LocalClaimMatch {};
}

std::int64_t DownloadedFileSize(const std::string& path)
{
    struct stat status
    {
    };
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    return static_cast<std::int64_t>(status.st_size);
}

bool IsZipFile(const std::string& path, std::string* problem)
{
    // Read with the system's calls, so that a file that is there but cannot be read says why.
    const auto fail = [&](int error) {
        if (problem != nullptr) {
            *problem = "Cannot read file " + path + ": " + SystemErrorText(error);
        }
        return false;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? false : fail(errno);
    }
    std::array<char, 4> head {};
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return fail(error);
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return got == head.size() && head == std::array<char, 4> { 'P', 'K', '\x03', '\x04' };
}

bool DownloadClaim(DownloadContext& context, paradox::Table& claims, const DownloadRow& row)
{
    UserNotice& notice = context.env.Notice();
    SetStatus(context, " Retrieving Claim: " + row.claimNumber);

    const std::string id = std::to_string(row.claimUid);
    bool transferred = true;
    std::string localFailure; // the download file could not be written here: which and why
    try {
        warehouse::GetClaimFile(context.session, id);
    } catch (const FileError& e) {
        transferred = false;
        localFailure = e.what();
    } catch (const std::exception&) {
        // Reported by the file check below, after the document, as the user expects. A transfer
        // that failed is never restored, even when what arrived happens to start like a ZIP file.
        transferred = false;
    }
    const std::string archivePath = platform::JoinPath(context.env.ClaimsPath("Warehouse/Downloads"), id + ".kvz");

    const std::optional<std::int64_t> serverVersion = ServerVersion(warehouse::GetClaimJSONData(context.session, id));
    if (!serverVersion) {
        notice.ShowMessage(MessageKind::Warning, kDocumentUnreadable);
        return false;
    }
    const LocalClaimMatch match = FindLocalClaim(claims, row.claimUid, *serverVersion);

    if (!transferred || DownloadedFileSize(archivePath) <= 0 || !IsZipFile(archivePath, &localFailure)) {
        notice.ShowMessage(MessageKind::Information,
                           localFailure.empty() ? std::string(kDownloadFailed)
                                                : kDownloadFailed + ("\r\n" + localFailure));
        return true;
    }

    std::string question;
    int state = 0;
    bool treatAsNew = false;
    std::int64_t localClaimId = match.localClaimId;
    switch (match.state) {
    case ClaimVersionState::SameVersion:
        return true;
    case ClaimVersionState::NotOnThisSystem:
        question = NotOnThisSystemQuestion(row);
        state = kRestoreNotOnThisSystem;
        treatAsNew = true;
        localClaimId = 0;
        break;
    case ClaimVersionState::ServerNewer:
        question = ServerNewerQuestion(row);
        state = kRestoreServerNewer;
        break;
    case ClaimVersionState::LocalNewer:
        question = LocalNewerQuestion(row);
        state = kRestoreLocalNewer;
        break;
    }
    // On No the archive stays in the download folder; the next download of the claim replaces it.
    if (!notice.AskYesNo(question)) {
        return true;
    }
    try {
        RestoreClaimArchive(context.env, context.privateDir, claims, archivePath, state, treatAsNew, localClaimId);
    } catch (const std::exception& e) {
        // Only an archive that cannot be opened comes back here; nothing was changed, but the
        // rows after it would most likely meet the same trouble.
        notice.ShowMessage(MessageKind::Error, e.what());
        return false;
    }
    return true;
}

void DownloadClaims(DownloadContext& context, const std::vector<DownloadRow>& rows)
{
    UserNotice& notice = context.env.Notice();
    notice.SetBusyCursor(true);
    try {
        const std::string claimsDir = context.env.GetClaimsDir();
        if (claimsDir.empty()) {
            // A table path without a folder would open whatever Claims.DB the working folder holds.
            throw FileError("The claims directory is not known (see DBAlias.ini), so there is no claims table to "
                            "download claims into.");
        }
        paradox::Table claims(claimsDir, "Claims.DB");
        claims.Open(paradox::OpenMode::Shared);
        claims.First();
        for (const DownloadRow& row : rows) {
            if (!DownloadClaim(context, claims, row)) {
                break;
            }
        }
        SetStatus(context, " ");
        claims.Close();
    } catch (const std::exception& e) {
        // The error box of the window's handler: the ending steps below still run.
        notice.ShowMessage(MessageKind::Error, e.what());
        SetStatus(context, " ");
    }
    notice.SetBusyCursor(false);
    SetStatus(context, " Idle");
}

} // namespace wh::restore
