#include "upload/ClaimFolder.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

#include "support/Errors.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

namespace wh::upload {
namespace {

// Why `value`, the text of the record's field `field`, names no folder below another, or empty
// text when every part of it is a plain folder name.
std::string ProblemWithParts(const std::string& field, const std::string& value, bool mayBeAbsolute)
{
    if (text::Trim(value).empty()) {
        return field + " is empty";
    }
    const bool driveLetter = value.size() >= 2 && value[1] == ':' && std::isalpha(static_cast<unsigned char>(value[0]));
    if (value.front() == '/' || value.front() == '\\' || driveLetter) {
        return field + (mayBeAbsolute ? " is an absolute path" : " starts with a separator");
    }
    std::size_t start = 0;
    while (start <= value.size()) {
        const std::size_t end = std::min(value.find_first_of("/\\", start), value.size());
        const std::string part = value.substr(start, end - start);
        if (text::Trim(part).empty()) {
            return field + " has an empty part";
        }
        if (part == "." || part == "..") {
            return field + " has the part \"" + part + "\"";
        }
        if (part.find('\0') != std::string::npos) {
            return field + " holds a character that no folder name holds";
        }
        start = end + 1;
    }
    return {};
}

// The path with every link followed, or empty text and the reason in `error`.
std::string RealPath(const std::string& path, int& error)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        error = errno;
        return {};
    }
    return resolved;
}

} // namespace

ClaimFolder FindClaimFolder(const std::string& claimsDir, const std::string& claimDir, const std::string& claimSubdir)
{
    ClaimFolder found;
    const auto refuse = [&](const std::string& why) {
        found.state = ClaimFolder::State::Refused;
        found.problem = "the claim folder \"" + claimDir + "\\" + claimSubdir
            + "\" is not a folder below the claims directory " + claimsDir + ": " + why;
        return found;
    };
    if (claimsDir.empty()) {
        return refuse("no claims directory is known");
    }
    for (const std::string& problem :
         { ProblemWithParts("Claimdir", claimDir, true), ProblemWithParts("ClaimSubdir", claimSubdir, false) }) {
        if (!problem.empty()) {
            return refuse(problem);
        }
    }
    found.path = platform::ResolvePathNoCase(claimsDir, claimDir + "/" + claimSubdir);
    found.relative = found.path.substr(platform::JoinPath(claimsDir, "").size());

    // A folder that is not there is passed over as before: its lock-out file cannot be made.
    int error = 0;
    const std::string realClaimsDir = RealPath(claimsDir, error);
    const std::string realFolder = realClaimsDir.empty() ? std::string() : RealPath(found.path, error);
    if (realFolder.empty()) {
        if (error != ENOENT && error != ENOTDIR) {
            return refuse("it cannot be followed: " + SystemErrorText(error));
        }
        found.state = ClaimFolder::State::Missing;
        return found;
    }
    const std::string below = realClaimsDir == "/" ? realClaimsDir : realClaimsDir + "/";
    if (realFolder.size() <= below.size() || realFolder.compare(0, below.size(), below) != 0) {
        return refuse(realFolder == realClaimsDir ? "it leads to the claims directory itself"
                                                  : "it leads to " + realFolder + ", outside the claims directory");
    }
    struct stat info = {};
    found.state = ::stat(realFolder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? ClaimFolder::State::Found
                                                                                  : ClaimFolder::State::Missing;
    return found;
}

ClaimFolder FindClaimFolder(const std::string& claimsDir, paradox::Table& claimsTable)
{
    return FindClaimFolder(claimsDir, claimsTable.FieldByName("Claimdir").AsText(),
                           claimsTable.FieldByName("ClaimSubdir").AsText());
}

} // namespace wh::upload
