#pragma once

#include "support/paradox/BlockFile.h"
#include "support/paradox/KeyIndex.h"
#include "support/paradox/MemoFile.h"
#include "support/paradox/SecondaryIndexHeader.h"
#include "support/platform/FileLock.h"
#include "support/text/DateTime.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace wh::paradox {

// Our own engine for Paradox table families: NAME.DB (records), NAME.PX (primary index of keyed
// tables) and NAME.MB (memo and blob values). Texts are the table's code-page bytes (Windows-1252
// for the product's tables), handed over unconverted. Every failure throws wh::TableError with a
// message that names the file or table; a damaged or hostile file is an error, never a crash.
//
// Layout: Table keeps the cursor, the edits and the order of writes; BlockFile reads the header and
// block chain that the .DB shares with the index files, KeyIndex builds and reads the .PX tree,
// MemoFile keeps the .MB, SecondaryIndex keeps the .Xnn/.XGn files (each opened as a keyed Table of
// its own, with its .Ynn/.YGn as primary index) in step with the records.
//
// Sharing follows the product's convention: an open table holds flock(2) on its .DB (shared or
// exclusive, never waiting). A post serialises its write with a short byte-range lock on the .DB,
// re-reads the table when another writer changed it, and writes the memo/blob data first, then
// the record's block, then the header and the primary index, so a process that dies in between
// leaves a readable table.
//
// Limits: password-protected tables are refused with a clear error. Keyed tables whose alpha key
// uses a language driver other than the plain byte order ones (ascii, DBWINUS0), and keyed tables
// of the old level-3 format, are read only. Maintained secondary indexes are kept current with every
// post and delete, after the table's own files; a table with one this engine cannot keep (see
// SecondaryIndex.h) refuses every write before anything is written. Non-maintained ones are left as
// they are: the table's change counter moves on without them, which marks them out of date.

enum class FieldType {
    Alpha, // A: code-page text, 1-255 bytes
    Date, // D
    Short, // S: 16-bit integer
    Long, // I: 32-bit integer
    Currency, // $: double
    Number, // N: double
    Logical, // L
    Memo, // M: text, leader of `size` bytes in the record
    Blob, // B: binary
    FmtMemo, // F: formatted memo, opaque bytes
    Ole, // O: opaque bytes
    Graphic, // G: opaque bytes (an 8-byte prefix, then the picture)
    Time, // T: milliseconds since midnight
    Timestamp, // @
    AutoInc, // +: 32-bit counter given by the engine
    Bcd, // #: 32 BCD digits; `size` is the number of decimals
    Bytes, // Y: raw bytes, 1-255
};

// One column of a table to create. `size` is the length of Alpha and Bytes fields, the leader
// length of memo and blob fields (0-240; memos need at least 1) and the decimals of a BCD field;
// the other types ignore it.
struct FieldDef
{
    std::string name;
    FieldType type = FieldType::Alpha;
    int size = 0;
};

enum class OpenMode { Shared, Exclusive };

class Table;
class SecondaryIndex;

// A column of an open table, bound to the table's current record. Reads of an empty field give
// empty text, 0 or the zero date; a logical field reads as "True" or "False".
class Field
{
public:
    const std::string& Name() const { return m_name; }
    FieldType Type() const { return m_type; }
    int Size() const { return m_size; } // the size as created (see FieldDef)
    int Index() const { return m_index; }

    bool IsNull() const;
    bool IsBlob() const; // memo, blob, formatted memo, OLE and graphic fields
    // False for autoincrement fields, whose values the engine gives.
    bool CanModify() const;

    // Text form: numbers in their shortest form, dates as the process's short date, times as its
    // long time, memo and blob values as their bytes.
    std::string AsText() const;
    std::int64_t AsInteger() const; // numbers are rounded; text must be a number
    double AsFloat() const; // dates and times give their date-time value
    text::DateTime AsDateTime() const;
    bool AsBoolean() const;
    std::string AsBytes() const; // the raw value of blob and bytes fields; AsText otherwise

    // Setters need the table in Edit or Append state. Text that does not fit a number, date or
    // logical field is an error; text longer than an alpha field is cut to its size.
    void SetText(std::string_view value);
    void SetInteger(std::int64_t value);
    void SetFloat(double value);
    void SetDateTime(text::DateTime value);
    void SetBoolean(bool value);
    void SetBytes(std::string_view value); // blob, memo and bytes fields: the whole value
    void Clear();

    // Copies a whole value from a field of another (or the same) table, converting between types
    // as the setters do; memo and blob bytes are copied whole.
    void AssignFrom(const Field& other);

private:
    friend class Table;
    friend class MemoFile;
    friend class SecondaryIndex;
    Field(Table* table, int index, std::string name, FieldType type, int size, int offset, int width)
        : m_table(table)
        , m_index(index)
        , m_name(std::move(name))
        , m_type(type)
        , m_size(size)
        , m_offset(offset)
        , m_width(width)
    {
    }
    const std::uint8_t* Raw() const;
    std::uint8_t* MutableRaw();

    Table* m_table;
    int m_index;
    std::string m_name;
    FieldType m_type;
    int m_size;
    int m_offset; // within the record
    int m_width; // bytes in the record
};

class Table
{
public:
    // Names a table by folder and file name ("Claims.DB"; ".DB" is added when missing). The file
    // names of the family are found without regard to case.
    Table(std::string folder, std::string fileName);
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // Opens the table and moves to its first record. Exclusive fails while any other open exists
    // (in this or another process); Shared fails while an exclusive open exists.
    void Open(OpenMode mode = OpenMode::Shared);
    void Close(); // cancels a pending edit
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_dbPath; } // the resolved .DB path

    // Creates an empty table family (.DB, .PX when keyed, .MB when it has blob fields), replacing
    // any table of that name. The first `keyFieldCount` fields form the primary key.
    static void Create(const std::string& folder, const std::string& fileName, const std::vector<FieldDef>& fields,
                       int keyFieldCount = 0);
    // Removes every record of a closed table; fails while anyone has it open.
    static void EmptyTable(const std::string& folder, const std::string& fileName);
    static bool Exists(const std::string& folder, const std::string& fileName);

    // Navigation. Eof is true after Next passed the last record and on an empty table. Moving
    // (First, Next, Last, the finds, Refresh) posts a pending edit first, as the original engine does.
    void First();
    void Next();
    void Last();
    bool Eof() const { return m_eof; }
    std::int64_t RecordCount() const;
    // Re-reads the table from disk (other processes' posts) and stays on the same key or position.
    void Refresh();

    // Finds the record whose primary key equals the given values (as text, one per key field, or
    // one integer for a single numeric key). On failure the position is kept.
    bool FindKey(const std::vector<std::string>& keyValues);
    bool FindKey(std::int64_t key);
    // Moves to the first record whose field equals `value` without regard to case.
    bool FindFirstNoCase(std::string_view fieldName, std::string_view value);

    // Field objects stay valid while the table is open; Close ends them.
    int FieldCount() const { return static_cast<int>(m_fields.size()); }
    Field& FieldAt(int index);
    // Throws naming the field and the table when there is no such field.
    Field& FieldByName(std::string_view name);
    Field* FindField(std::string_view name); // nullptr when there is no such field
    const std::vector<std::unique_ptr<Field>>& Fields() const { return m_fields; }
    int KeyFieldCount() const { return m_keyFields; }
    bool IsKeyed() const { return m_keyFields > 0; }

    // Editing: Edit changes the current record (on an empty table it starts a new one), Append
    // starts a new record; Post writes it, Cancel drops it. Delete removes the current record and
    // moves to the next one.
    void Edit();
    void Append();
    void Post();
    void Cancel();
    void Delete();
    bool IsEditing() const { return m_state != State::Browse; }
    // Makes every posted change durable (fsync of the family's files).
    void Flush();

    int CodePage() const { return m_codePage; }

    // Adds a secondary index to a closed table (replacing one of the same file name) and builds it
    // from the records; returns the new data file's name ("NAME.X02", "NAME.XG0").
    static std::string AddSecondaryIndex(const std::string& folder, const std::string& fileName,
                                         const SecondaryIndexDef& def);
    // The table's secondary indexes, opened for reading (an index whose files cannot be read is
    // listed with the reason). Valid while the table is open.
    std::vector<SecondaryIndex*> SecondaryIndexes();
    // Rewrites every maintained secondary index from the records (the mend for an index left
    // behind by a writer that died); fails, before writing, on an index this engine cannot keep.
    void RebuildSecondaryIndexes();

    // What `table check` reports: the differences between the records and the table's header,
    // its primary index and each maintained secondary index (none: the family is consistent), and
    // notes on what was not checked or needs no check (non-maintained indexes).
    struct CheckReport
    {
        std::vector<std::string> differences;
        std::vector<std::string> notes;
    };
    CheckReport Check();

private:
    friend class Field;
    friend class SecondaryIndex;
    struct IndexFileTag
    {
    };
    // Opens a secondary index's data file as a keyed table whose primary index is the .Ynn/.YGn.
    Table(std::string folder, std::string fileName, IndexFileTag);
    enum class State { Browse, Edit, Insert };

    [[noreturn]] void Fail(const std::string& what) const;

    void LoadHeader();
    void LoadChain();
    void ReloadIfChanged();
    void LoadBlock(std::size_t chainIndex);
    void WriteBlockRaw(std::uint16_t number, const std::vector<std::uint8_t>& block);
    void PositionAt(std::size_t chainIndex, int record);
    void ClearRecordBuffer();

    std::string ReadBlob(const Field& field, const std::uint8_t* raw) const { return m_memo.ReadBlob(field, raw); }

    // Writing.
    void CheckWritable();
    // Opens the secondary index files once per load and refuses a write that would leave a
    // maintained one out of date.
    void PrepareIndexes();
    // Under the write lock, before the first change of a load: every maintained index that does not
    // match the records (a writer died between the table and the index) is rebuilt.
    void RepairIndexes();
    // Marks every maintained index out of date until this write reaches it; called right before
    // the first change of the table's records, after every check that could refuse the write.
    void MarkIndexesInProgress();
    void RefuseDuplicateKey(const std::vector<std::uint8_t>& record);
    // After the table's own files: entries of `removed` records go, entries of `touched` records
    // (new, changed or moved to another block) are written with the block that now holds them.
    void UpdateIndexes(const std::vector<std::vector<std::uint8_t>>& removed,
                       const std::vector<std::vector<std::uint8_t>>& touched);
    // The table block that holds the record with this key; 0 when there is none.
    std::uint16_t BlockOfRecord(const std::uint8_t* record);
    // An index data file: the field-number array and which key fields sort in reverse.
    void LoadIndexFileLayout(const BlockFileHeader& header);
    bool HasIndexFiles() const { return !m_indexFiles.empty(); }
    void WriteHeaderBytes();
    std::string PrimaryIndexPath() const;
    int CompareKeys(const std::uint8_t* a, const std::uint8_t* b) const;
    std::uint16_t AllocateBlock();
    void ReleaseBlock(std::size_t chainIndex);
    void InsertRecord(const std::vector<std::uint8_t>& record);
    void RemoveRecord(std::size_t chainIndex, int record);
    void WriteHeader();
    void RebuildPrimaryIndex();
    void RetryPrimaryIndex() noexcept;
    void SetFirstKey(std::size_t chainIndex, const std::vector<std::uint8_t>& block);
    const std::uint8_t* FirstKey(std::size_t chainIndex) const
    {
        return m_firstKeys.data() + chainIndex * static_cast<std::size_t>(m_keySize);
    }
    void ChainInsert(std::size_t chainIndex, ChainBlock ref, const std::uint8_t* firstKey);
    void ChainErase(std::size_t chainIndex);
    void ChainClear();
    void AssignAutoInc(std::vector<std::uint8_t>& record);
    bool LocateKey(const std::uint8_t* key, std::size_t& chainIndex, int& record);
    // Finds the record this handle last saw (by key, or at its place in an unkeyed table) and
    // checks that it is still byte for byte as seen; false when another writer changed it.
    bool LocateUnchanged(const std::vector<std::uint8_t>& seen, std::size_t& chainIndex, int& record);

    std::string m_folder;
    std::string m_fileName;
    std::string m_dbPath;
    std::string m_tableName; // for messages: the file name as given
    platform::FileLock m_lock;
    int m_fd = -1;
    bool m_writable = false;
    int m_readOnlyReason = 0; // why the table file could not be opened for writing, when it could not
    std::uint64_t m_fileSize = 0;

    BlockFile m_dataFile; // the .DB's blocks
    std::vector<std::uint8_t> m_header;
    int m_recordSize = 0;
    int m_fileType = 0;
    std::vector<std::string> m_indexFiles; // the family's .Xnn/.XGn files
    std::vector<std::unique_ptr<SecondaryIndex>> m_indexes; // opened by PrepareIndexes
    bool m_indexesRepaired = false; // since the last load
    // Records that the current write moved to another block, collected while indexes need them.
    bool m_collectMoves = false;
    std::vector<std::vector<std::uint8_t>> m_movedRecords;

    // A secondary index's data file: its key fields may sort in reverse, and its primary index is
    // the .Ynn/.YGn.
    bool m_isIndexFile = false;
    std::vector<std::uint16_t> m_fieldNumbers; // the header's field-number array
    struct KeyPart
    {
        int offset;
        int width;
        bool descending;
    };
    std::vector<KeyPart> m_keyParts; // filled only when a key field sorts in reverse
    int m_version = 0;
    int m_keyFields = 0;
    int m_keySize = 0;
    int m_codePage = 0;
    int m_sortOrder = 0;
    std::uint32_t m_cryptKey = 0;
    std::uint16_t m_fileBlocks = 0;
    std::vector<std::unique_ptr<Field>> m_fields;
    std::vector<ChainBlock> m_chain; // data blocks in chain order
    std::vector<std::uint8_t> m_firstKeys; // the key of each block's first record, in chain order
    std::int64_t m_recordCount = 0;
    std::int64_t m_maxAutoInc = -1; // highest stored value, found on first need

    // Cursor and current record.
    std::size_t m_chainIndex = 0;
    int m_record = 0;
    bool m_eof = true;
    std::vector<std::uint8_t> m_block;
    std::size_t m_loadedChainIndex = SIZE_MAX;
    std::vector<std::uint8_t> m_current;
    State m_state = State::Browse;
    std::vector<std::uint8_t> m_original; // the record as it was when Edit began
    std::map<int, std::string> m_pendingBlobs; // blob values set during Edit/Append

    // The primary index as last written, so that a post rewrites only the blocks that changed.
    KeyIndex m_primaryIndex;
    mutable MemoFile m_memo;
};

// The type letter of the Paradox documentation ("A", "N", "+", ...), for messages and dumps.
std::string_view TypeLetter(FieldType type);

} // namespace wh::paradox
