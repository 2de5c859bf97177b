#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace wh::env {
class WarehouseEnv;
}

namespace wh::auxfiles {

// One of the eight shared reference databases of the adjusting product, numbered 1 to 8.
struct AuxKind
{
    int number;
    const char* code; // the kind's name on the server
    const char* rowCaption;
    const char* statusWord; // the status line's and messages' name of the kind
    const char* getFile; // transfer files in LocalWarehouseDir
    const char* putFile;
    std::vector<std::string> masks; // table families in the root of the claims directory, in member order
    const char* testTable; // opened exclusively to see that the product does not use the database
    const char* memberComment;
};

const std::array<AuxKind, 8>& AuxKinds();
// Errors: wh::AssertionError for a number outside 1 to 8.
const AuxKind& AuxKindByNumber(int number);
// The kind whose code is exactly `code`; nullptr when there is none.
const AuxKind* FindAuxKind(std::string_view code);

inline constexpr const char* kAuxArchiveComment = "Korvan Date WareHouse";
inline constexpr const char* kInvalidAuxArchive = "Invalid Archive cannot extract Information";

enum AuxPurpose : int { AuxBuild = 1, AuxExtract = 2 };

// 0 when the kind's test table can be opened exclusively; 2 after the in-use warning. A table
// that cannot be opened at all raises its wh::TableError.
int CheckAuxTableFree(env::WarehouseEnv& env, int kind, int purpose);

// Packs the kind's table families into an archive at `path`: 0 built, 1 failed (an error box
// said why), 2 the old file cannot be deleted or the database is in use (a warning said why).
int BuildAuxArchive(env::WarehouseEnv& env, int kind, const std::string& path);

// Unpacks an archive of the kind into the claims directory: 0 done, 1 refused or failed (the
// error box "Invalid Archive cannot extract Information"; `reason`, when given, gets the cause),
// 2 the database is in use. Each table family in the archive replaces the local family whole, and
// only after every member has been unpacked and checked; until then nothing local changes. An
// archive is refused when a family in it lacks its .DB, when it lacks the kind's test table, or
// when the table engine cannot read one of its tables whole (header, blocks, indexes, memo values).
// Errors: the in-use test's wh::TableError, and the reader's wh::FileError or wh::ArchiveError
// when the file cannot be opened as an archive.
int ExtractAuxArchive(env::WarehouseEnv& env, int kind, const std::string& path, std::string* reason = nullptr);

} // namespace wh::auxfiles
