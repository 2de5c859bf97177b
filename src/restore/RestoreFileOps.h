#pragma once

#include <cstdint>
#include <string>

namespace wh::env {
class WarehouseEnv;
}

// The small file and table operations a claim restore is made of: emptying a folder, naming a new
// claim folder, the claim counter, the list of folders left to remove, and copying the files of a
// claim component (such as the image tables "image.*") from the blank templates or another claim.
// They work in the claims directory of `env`; messages go through its UserNotice.
namespace wh::restore {

// Deletes the files (not folders) of `folder` matching `mask` (wildcards * and ?, without regard
// to case), in the byte order of their names; stops at the first file that cannot be deleted. True
// when every matching file is gone (also when none matched or the folder is missing); false when
// a file stayed or the folder cannot be read.
bool DeleteFolderFiles(const std::string& folder, const std::string& mask);

// Makes a new folder in `parent` named by a random number 0-65534 followed by `extension`
// (".kvx"), trying up to 65535 names; returns the name (not the path), or empty text when every
// drawn name was taken. Raises FileError when the folder cannot be created.
std::string MakeTempClaimFolder(const std::string& parent, const std::string& extension);

// Takes the next number of the counter table AUTOINCS.DB of the claims directory: the first
// record's field at `fieldIndex` (0 is the first field) plus one, stored and returned. A number
// taken by another process at the same moment is never given out twice: the post fails and the
// read is repeated. Errors of the table engine are raised, as is an empty table or a full counter.
std::int32_t NextAutoIncValue(env::WarehouseEnv& env, int fieldIndex);

// Notes a folder whose removal failed in the claims directory's deldir.db (made when missing).
// A path longer than the table's 255-character field is refused with a TableError, never cut.
void RecordUndeletedFolder(env::WarehouseEnv& env, const std::string& folder);

// Copies the claim component `mask` ("image.*") from the claims directory's Empty folder into
// `claimFolder` unless the folder already has the component's main table; files already there stay.
// False when a copy failed (the user has been told).
bool CopyEmptyClaimComponent(env::WarehouseEnv& env, const std::string& claimFolder, const std::string& mask);

// Copies the claim component `mask` from `sourceFolder` into `targetFolder`, replacing files of the
// same name. False when a copy failed (the user has been told).
bool CopyClaimComponent(env::WarehouseEnv& env, const std::string& sourceFolder, const std::string& targetFolder,
                        const std::string& mask);

} // namespace wh::restore
