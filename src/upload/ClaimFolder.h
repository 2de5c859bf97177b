#pragma once

#include <string>

namespace wh::paradox {
class Table;
}

namespace wh::upload {

// Where the Claimdir and ClaimSubdir of a claims record lead. Everything the tool does in a
// claim's name (its lock-out file, the stamping of its folder's own Claims.DB, its archive) is
// done in this folder, so it must be the claim's own: a folder strictly below the claims
// directory, never the claims directory itself (whose Claims.DB is the claims table) nor a
// folder beside it or wherever a link leads.
struct ClaimFolder
{
    enum class State {
        Found, // `path` is a folder strictly below the claims directory
        Missing, // a proper name, but no folder stands there: `path` is where it would be
        Refused, // no proper claim folder name, or one that leads out: `problem` says why
    };
    State state = State::Refused;
    std::string path; // the claims directory followed by `relative`
    std::string relative; // the folder below the claims directory, spelled as on disk, "/" between parts
    std::string problem;
};

// Finds the claim folder that `claimDir` and `claimSubdir` name below `claimsDir`, without regard
// to case. Each must name at least one folder, every part of them a plain folder name (not empty
// or blank, not "." or "..", Claimdir not an absolute path), and the folder they lead to, every
// link on the way followed, must lie strictly below the claims directory.
ClaimFolder FindClaimFolder(const std::string& claimsDir, const std::string& claimDir, const std::string& claimSubdir);

// The same for the current record of a claims table.
ClaimFolder FindClaimFolder(const std::string& claimsDir, paradox::Table& claimsTable);

} // namespace wh::upload
