#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wh::paradox {

class Table;

// One secondary index of a table: NAME.Xnn (one field, case-sensitive) or NAME.XGn (composite,
// named or descending) holds one entry per record of the table, itself a keyed table ordered by
// the indexed fields and then the table's primary key, with a last field "Blk Num" that hints at
// the table block holding the record; NAME.Ynn / NAME.YGn is the primary index of that file, in
// the same form as the table's .PX.
//
// What ties an index to its table, from the original engine's files (the samples of the joins
// folder) and the format notes:
//   - the index file's byte 0x2F repeats the change counter of the table's primary index (.PX byte
//     0x2C, which itself follows the table's 0x2D and moves with every change) as it was when the
//     index was last brought up to date. In every maintained index of the samples the two are
//     equal: C.X02 and C.X03 0x6C with C.PX 108, fk1 225, fk2 127, fk3 18, fk4 207, multiple (both
//     indexes) 195, to_multiple 232. The table's own 0x2D is not always the same value (C.DB 0x59,
//     19 behind its .PX, as in every ANSII850 family), which is why the .PX is what is repeated.
//     The two non-maintained indexes, which are out of date (case.x01 holds no entry for the
//     table's one record), belong to unkeyed tables and sit 17 and 20 past their table's 0x2D,
//     where current ones of the same sort order sit 19 past. So after every write a maintained
//     index takes the .PX's new counter, and a non-maintained one keeps its old value while the
//     table's counter moves on, which marks it out of date.
//   - between an index file and its .Ynn, the same tie as between a table and its .PX: .Ynn 0x2C
//     follows the index file's own 0x2D (equal, or +19 in ANSII850 families, in all 11 pairs), and
//     .Ynn 0x12 = index file 0x12 + 1 in all 11 pairs (0x12 numbers the files as they were made:
//     C.DB 3, C.PX 4, C.X02 6, C.Y02 7, C.X03 8, C.Y03 9; it is kept, never compared).
//   - 0x2E, the .VAL link, is copied from the table (10 of 11; fk4.XG0 is one ahead).
//   - the field-number array: the table's 1-based field number for each indexed field, with 0x8000
//     set on a descending one (indexed.xg0: 0x8001), then each remaining field's own position
//     (C.X02: 2,2,3; fk4.XG0: 2,4,3,4). Byte 0x15 is the first indexed field's number, 0x23 the
//     number of the index file's key fields (indexed fields + primary key), 0x55 is 0 below
//     level 7 and 0x01 / 0x11 (ascending / descending) at level 7.
//   - file type 5 (.Xnn) or 8 (.XGn) marks a maintained index, 3 or 6 one the engine rebuilds
//     when it is used.
//   - 0x2C is 0xFF in every index file; 0x16-0x1D and 0x30-0x37 are run-time pointers; 0x49
//     counts something of the index file's own history: none is compared, all are kept.
//
// What this engine keeps current: maintained indexes of keyed tables whose fields it can compare
// (numbers, dates, logicals and alpha fields under a plain byte-order sort order in an .Xnn),
// ascending or descending field by field, ties broken by the primary key in ascending order (the
// field-number array flags only the indexed fields). Not kept, so writes to such a table are
// refused: maintained indexes of unkeyed tables (their "Tup No" and "Tup Offset" fields are not
// explained by any sample), an .XGn over an alpha field (no sample shows where a case-insensitive
// index is marked, so its order cannot be known), alpha fields under a national sort order, and
// any header this engine cannot explain.
class SecondaryIndex
{
public:
    SecondaryIndex(Table& table, std::string fileName);
    ~SecondaryIndex();
    SecondaryIndex(const SecondaryIndex&) = delete;
    SecondaryIndex& operator=(const SecondaryIndex&) = delete;

    // The data file's name as found in the folder ("C.X02").
    const std::string& FileName() const { return m_fileName; }
    // The index name of an .XGn, else the indexed field's name.
    const std::string& Name() const { return m_name; }
    bool IsMaintained() const { return m_maintained; }
    // Empty when this engine can keep the index current; otherwise why it cannot.
    const std::string& Unsupported() const { return m_unsupported; }
    // The index file as a keyed table, for reading its rows in index order; nullptr when its
    // files cannot be read (Unsupported() says why).
    Table* Rows() { return m_rows.get(); }

    // What differs between the index and the records of the table: entries missing, entries that
    // should not be there, entries in the wrong order, hints naming the wrong block, a count or a
    // .Ynn that does not match. Empty when the index is current. Only for a supported index.
    std::vector<std::string> Differences();

private:
    friend class Table;

    void Open();
    void ReadShape();
    // The entry of a table record stored in table block `block`: the indexed fields, the primary
    // key, the block number.
    std::vector<std::uint8_t> EntryFor(const std::uint8_t* record, std::uint16_t block) const;
    // Every entry the records call for, in index order, back to back.
    struct EntryList
    {
        std::vector<std::uint8_t> bytes;
        std::size_t size = 0; // of one entry
        std::size_t Count() const { return size == 0 ? 0 : bytes.size() / size; }
        const std::uint8_t* At(std::size_t i) const { return bytes.data() + i * size; }
    };
    EntryList ExpectedEntries();
    // Rewrites the index from the records, blocks filled in index order, and then its .Ynn.
    void Rebuild();
    // Applies one write of the table: the entries of `removed` records go, each placed record
    // (and the table block now holding it) gets its entry.
    void Update(const std::vector<std::vector<std::uint8_t>>& removed,
                const std::vector<std::pair<const std::uint8_t*, std::uint16_t>>& placed);
    void FollowTableCounter();

    Table& m_table;
    std::string m_fileName;
    std::unique_ptr<Table> m_rows;
    bool m_maintained = false;
    std::string m_unsupported;
    std::string m_name;
    struct Part
    {
        int field; // the table's field index
        bool descending;
    };
    std::vector<Part> m_parts;
};

} // namespace wh::paradox
