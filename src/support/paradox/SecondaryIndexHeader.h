#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The headers of a fresh secondary index pair of a Paradox table: the .Xnn/.XGn data file, laid
// out like a level-4+ table, and its .Ynn/.YGn index file, laid out like a .PX.
namespace wh::paradox {

struct SecondaryIndexDef
{
    std::vector<int> fields; // 0-based field indexes of the table, in index order
    std::vector<bool> descending; // one per field (empty = all ascending); descending needs level 7
    bool maintained = true; // kept current on every change; only keyed tables can have one
    bool composite = false; // .XGn: required for more than one field, a name or a descending field
    std::string name; // .XGn only: the index name, in the table's code page
    int compositeNumber = 0; // .XGn only: the n of the file extension, 0-15
};

struct SecondaryIndexHeaders
{
    std::vector<std::uint8_t> data; // the .Xnn/.XGn header, headerSize bytes
    std::vector<std::uint8_t> index; // the .Ynn/.YGn header, headerSize bytes
};

// Builds the headers of an empty index pair (0 records, 0 blocks) for a table whose .DB header
// bytes are `tableHeader` (the whole header, headerSize bytes). Throws TableError for a definition
// the engine cannot hold: no fields, a field out of range or listed twice, a blob field, descending
// below level 7, a maintained index on an unkeyed table, or a name or several fields on an .Xnn.
SecondaryIndexHeaders NewSecondaryIndexHeaders(const std::vector<std::uint8_t>& tableHeader,
                                               const SecondaryIndexDef& def);

// The file extension of the pair's data file without the dot ("X02", "XG0"); the index file's is
// the same with Y. Single-field indexes are numbered by the 1-based table field number in hex.
std::string SecondaryIndexExtension(const SecondaryIndexDef& def);

} // namespace wh::paradox
