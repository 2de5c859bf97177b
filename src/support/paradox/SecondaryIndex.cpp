#include "support/paradox/SecondaryIndex.h"

#include "support/Errors.h"
#include "support/paradox/Encoding.h"
#include "support/paradox/FormatDetail.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace wh::paradox {

using namespace encoding;
using namespace detail;

namespace {

constexpr int kMaintainedSingle = 5;
constexpr int kPlainComposite = 6;
constexpr int kMaintainedComposite = 8;
constexpr std::uint16_t kDescendingField = 0x8000;
constexpr std::size_t kListedDifferences = 10;

bool IsByteOrderSort(int sortOrder)
{
    return sortOrder == 0x00 || sortOrder == kSortOrderAscii;
}

// The primary index's change counter, which a current maintained index repeats at 0x2F.
std::uint8_t PrimaryIndexCounter(const KeyIndex& index, const std::string& path)
{
    if (index.Header().size() > 0x2C) {
        return index.Header()[0x2C];
    }
    std::uint8_t counter = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        UniqueFd guard(fd);
        if (::pread(fd, &counter, 1, 0x2C) != 1) {
            counter = 0;
        }
    }
    return counter;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The table's side: which indexes it has, and the order in which a write reaches them.

void Table::LoadIndexFileLayout(const BlockFileHeader& header)
{
    // The field-number array follows the field names; the header also points at it (0x66), and a
    // header where the two disagree is one this engine does not understand.
    const std::vector<std::uint8_t>& bytes = header.bytes;
    const auto n = static_cast<std::size_t>(header.fieldCount);
    std::size_t pos = static_cast<std::size_t>(header.version >= 5 ? kExtendedHeader : kFixedHeader) + 6 * n + 4
        + TableNameLength(header.version);
    for (const FieldLayout& field : header.fields) {
        pos += field.name.size() + 1;
    }
    m_fieldNumbers.clear();
    m_keyParts.clear();
    if (header.version < 5 || pos + 2 * n > bytes.size()
        || static_cast<std::size_t>(GetU16(bytes.data() + 0x66) + kFixedHeader) != pos) {
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        m_fieldNumbers.push_back(GetU16(bytes.data() + pos + 2 * i));
    }
    const bool anyDescending = std::any_of(m_fieldNumbers.begin(), m_fieldNumbers.begin() + m_keyFields,
                                           [](std::uint16_t number) { return (number & kDescendingField) != 0; });
    if (anyDescending) {
        for (int i = 0; i < m_keyFields; ++i) {
            const FieldLayout& field = header.fields[static_cast<std::size_t>(i)];
            m_keyParts.push_back(
                { field.offset, field.width, (m_fieldNumbers[static_cast<std::size_t>(i)] & kDescendingField) != 0 });
        }
    }
}

std::vector<SecondaryIndex*> Table::SecondaryIndexes()
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (m_indexes.size() != m_indexFiles.size()) {
        m_indexes.clear();
        for (const std::string& name : m_indexFiles) {
            m_indexes.push_back(std::make_unique<SecondaryIndex>(*this, name));
            m_indexes.back()->Open();
        }
    }
    std::vector<SecondaryIndex*> indexes;
    for (const auto& index : m_indexes) {
        indexes.push_back(index.get());
    }
    return indexes;
}

void Table::PrepareIndexes()
{
    m_collectMoves = false;
    if (m_isIndexFile || m_indexFiles.empty()) {
        return;
    }
    // A write that would leave an index out of date makes the adjusting product refuse the whole
    // table: better no write at all, refused before anything is written.
    for (SecondaryIndex* index : SecondaryIndexes()) {
        if (!index->IsMaintained()) {
            continue;
        }
        if (!index->Unsupported().empty()) {
            Fail("it has the secondary index \"" + index->FileName() + "\", which this program cannot keep up to date ("
                 + index->Unsupported() + "); the table can only be read.");
        }
        // Both files of the index must take the write, or none of the family may.
        const std::string indexPath = index->m_rows->PrimaryIndexPath();
        const bool indexWritable = platform::FileExists(indexPath)
            ? ::access(indexPath.c_str(), W_OK) == 0
            : ::access(m_folder.empty() ? "." : m_folder.c_str(), W_OK) == 0;
        if (!index->m_rows->m_writable || !indexWritable) {
            Fail("its secondary index \"" + index->FileName()
                 + "\" cannot be written, so the table can only be read (check the files' permissions).");
        }
        m_collectMoves = true;
    }
}

void Table::RepairIndexes()
{
    if (!m_collectMoves || m_indexesRepaired) {
        return;
    }
    // A maintained index repeats the primary index's counter only once a write has reached it in
    // full (writes mark it first, see MarkIndexesInProgress); any other value means a writer died on
    // the way, or another program wrote the table without it, and the index is built again.
    const std::uint8_t counter = PrimaryIndexCounter(m_primaryIndex, PrimaryIndexPath());
    for (const auto& index : m_indexes) {
        if (!index->IsMaintained()) {
            continue;
        }
        index->m_rows->ReloadIfChanged();
        if (index->m_rows->m_header[0x2F] != counter) {
            index->Rebuild();
        }
    }
    m_indexesRepaired = true;
}

void Table::MarkIndexesInProgress()
{
    // Before the table changes, each maintained index stops repeating the counter the primary index
    // has now or will have after this write, so that whatever moment the write is cut short, the
    // index reads as out of date until the write has reached it.
    if (!m_collectMoves) {
        return;
    }
    const auto mark = static_cast<std::uint8_t>(PrimaryIndexCounter(m_primaryIndex, PrimaryIndexPath()) + 0x80);
    for (const auto& index : m_indexes) {
        if (index->IsMaintained() && index->m_rows->m_header[0x2F] != mark) {
            index->m_rows->m_header[0x2F] = mark;
            index->m_rows->m_dataFile.WriteAt(0x2F, &mark, 1);
        }
    }
}

std::uint16_t Table::BlockOfRecord(const std::uint8_t* record)
{
    std::size_t ci = 0;
    int pos = 0;
    if (!LocateKey(record, ci, pos)) {
        return 0;
    }
    return m_chain[ci].number;
}

void Table::UpdateIndexes(const std::vector<std::vector<std::uint8_t>>& removed,
                          const std::vector<std::vector<std::uint8_t>>& touched)
{
    // Where each touched record is now; a record moved and then removed by the same write is gone.
    std::vector<std::pair<const std::uint8_t*, std::uint16_t>> placed;
    for (const auto& record : touched) {
        if (const std::uint16_t block = BlockOfRecord(record.data()); block != 0) {
            placed.emplace_back(record.data(), block);
        }
    }
    for (const auto& index : m_indexes) {
        if (index->IsMaintained()) {
            index->Update(removed, placed);
        }
    }
    m_indexesRepaired = true;
}

std::string Table::AddSecondaryIndex(const std::string& folder, const std::string& fileName,
                                     const SecondaryIndexDef& def)
{
    std::string dataName;
    {
        Table table(folder, fileName);
        table.Open(OpenMode::Exclusive);
        table.CheckWritable();
        const SecondaryIndexHeaders headers = NewSecondaryIndexHeaders(table.m_header, def);
        // The same shapes that make a table read-only are refused before any file is made.
        if (def.maintained) {
            for (const int field : def.fields) {
                const Field& f = *table.m_fields[static_cast<std::size_t>(field)];
                if (f.Type() == FieldType::Alpha && def.composite) {
                    table.Fail("a maintained composite index over the alpha field \"" + f.Name()
                               + "\" cannot be kept: its letter-case order cannot be known.");
                }
                if (f.Type() == FieldType::Alpha && !IsByteOrderSort(table.m_sortOrder)) {
                    table.Fail("a maintained index over the alpha field \"" + f.Name()
                               + "\" cannot be kept under the table's sort order.");
                }
            }
        }
        const std::string ext = SecondaryIndexExtension(def);
        dataName = CompanionName(table.m_fileName, ("." + ext).c_str());
        const std::string indexName = CompanionName(table.m_fileName, (".Y" + ext.substr(1)).c_str());
        for (const auto& [name, bytes] : { std::pair { dataName, &headers.data }, { indexName, &headers.index } }) {
            // An index of the same name is replaced, whatever the letter case of its file.
            const std::string existing = platform::ResolveNoCase(folder, name);
            if (platform::FileExists(existing)) {
                ::unlink(existing.c_str());
            }
            const std::string path = platform::JoinPath(folder, name);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) {
                table.Fail("cannot create the secondary index \"" + path + "\": " + SystemErrorText(errno));
            }
            UniqueFd guard(fd);
            WriteAll(fd, path, 0, bytes->data(), bytes->size());
        }
    }
    // Open again so that the new files are part of the family, then fill the index from the records.
    Table table(folder, fileName);
    table.Open(OpenMode::Exclusive);
    for (SecondaryIndex* index : table.SecondaryIndexes()) {
        if (text::UpperCase(index->FileName()) == text::UpperCase(dataName)) {
            if (index->Unsupported().empty()) {
                index->Rebuild();
            } else if (def.maintained) {
                // Never leave behind an index that would make the table read-only.
                const std::string message = "the secondary index \"" + index->FileName()
                    + "\" cannot be kept up to date (" + index->Unsupported() + ").";
                const std::string indexPath = index->m_rows ? index->m_rows->PrimaryIndexPath() : std::string();
                const std::string dataPath = platform::JoinPath(folder, index->FileName());
                table.Close();
                ::unlink(dataPath.c_str());
                if (!indexPath.empty()) {
                    ::unlink(indexPath.c_str());
                }
                table.Fail(message);
            }
        }
    }
    table.Close();
    return dataName;
}

// ---------------------------------------------------------------------------------------------
// The index's side.

SecondaryIndex::SecondaryIndex(Table& table, std::string fileName)
    : m_table(table)
    , m_fileName(std::move(fileName))
{
}

SecondaryIndex::~SecondaryIndex() = default;

void SecondaryIndex::Open()
{
    const std::string path = platform::JoinPath(m_table.m_folder, m_fileName);
    std::uint8_t head[5] = {};
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) {
            if (fd >= 0) {
                ::close(fd);
            }
            // What cannot be read cannot be told apart from a maintained index.
            m_maintained = true;
            m_unsupported = "its header cannot be read";
            return;
        }
        ::close(fd);
    }
    m_maintained = head[4] == kMaintainedSingle || head[4] == kMaintainedComposite;
    try {
        m_rows.reset(new Table(m_table.m_folder, m_fileName, Table::IndexFileTag {}));
        m_rows->Open(OpenMode::Shared);
    } catch (const TableError& error) {
        m_rows.reset();
        m_unsupported = error.what();
        return;
    }
    ReadShape();
}

void SecondaryIndex::ReadShape()
{
    const Table& index = *m_rows;
    const Table& table = m_table;
    const std::uint8_t* h = index.m_header.data();
    const int fieldCount = index.FieldCount();
    const int keyFields = table.m_keyFields;
    const int indexed = fieldCount - 1 - keyFields;
    const bool composite = index.m_fileType == kPlainComposite || index.m_fileType == kMaintainedComposite;
    auto refuse = [&](const std::string& why) {
        if (m_unsupported.empty()) {
            m_unsupported = why;
        }
    };
    if (index.m_fieldNumbers.size() != static_cast<std::size_t>(fieldCount)) {
        refuse("its header has a layout this program does not know");
        return;
    }
    // The indexed fields come first, each named by the table's field number.
    m_parts.clear();
    for (int i = 0; i < fieldCount; ++i) {
        const std::uint16_t number = index.m_fieldNumbers[static_cast<std::size_t>(i)];
        const int field = (number & ~kDescendingField) - 1;
        if (i >= std::max(indexed, 1) || field < 0 || field >= table.FieldCount()) {
            break;
        }
        m_parts.push_back({ field, (number & kDescendingField) != 0 });
    }
    if (!m_parts.empty()) {
        m_name = table.m_fields[static_cast<std::size_t>(m_parts.front().field)]->Name();
    }
    const std::uint16_t nameOffset = GetU16(h + 0x68);
    if (composite && nameOffset != 0 && static_cast<std::size_t>(kFixedHeader + nameOffset) < index.m_header.size()) {
        const char* begin = reinterpret_cast<const char*>(h + kFixedHeader + nameOffset);
        m_name.assign(begin, strnlen(begin, index.m_header.size() - kFixedHeader - nameOffset));
    }
    if (!table.IsKeyed()) {
        // Entries of unkeyed tables hold a record number and offset that no sample explains.
        refuse("it indexes a table without a primary key");
        return;
    }
    if (indexed < 1 || static_cast<int>(m_parts.size()) != indexed || index.m_keyFields != indexed + keyFields) {
        refuse("its fields do not match the table");
        return;
    }
    auto sameField = [&](int indexField, int tableField) {
        const Field& a = *index.m_fields[static_cast<std::size_t>(indexField)];
        const Field& b = *table.m_fields[static_cast<std::size_t>(tableField)];
        return a.Type() == b.Type() && a.m_width == b.m_width;
    };
    for (int i = 0; i < indexed; ++i) {
        const std::uint16_t number = index.m_fieldNumbers[static_cast<std::size_t>(i)];
        if ((number & 0x7000) != 0 || !sameField(i, m_parts[static_cast<std::size_t>(i)].field)) {
            refuse("its fields do not match the table");
            return;
        }
    }
    for (int j = 0; j < keyFields; ++j) {
        if (!sameField(indexed + j, j)) {
            refuse("its fields do not match the table's primary key");
            return;
        }
    }
    const Field& hint = *index.m_fields.back();
    if (hint.Type() != FieldType::Short) {
        refuse("its last field is not the block number");
        return;
    }
    const bool anyDescending = std::any_of(m_parts.begin(), m_parts.end(), [](const Part& p) { return p.descending; });
    const std::uint8_t order = h[0x55];
    const bool orderKnown = index.m_version >= 0x0C ? (anyDescending ? order == 0x11 : (order == 0x01 || order == 0x00))
                                                    : (order == 0x00 && !anyDescending);
    if (!orderKnown) {
        refuse("its sort direction is marked in a way this program does not know");
        return;
    }
    if (index.m_sortOrder != table.m_sortOrder) {
        refuse("it uses another sort order than the table");
        return;
    }
    for (const Part& part : m_parts) {
        const Field& field = *table.m_fields[static_cast<std::size_t>(part.field)];
        if (field.Type() != FieldType::Alpha) {
            continue;
        }
        // A composite index may ignore letter case, and nothing in its header says whether it does.
        if (composite) {
            refuse("it is a composite index over the alpha field \"" + field.Name()
                   + "\", whose letter-case order cannot be known");
            return;
        }
        if (!IsByteOrderSort(table.m_sortOrder)) {
            refuse("its alpha field \"" + field.Name() + "\" uses a sort order this program cannot compare");
            return;
        }
    }
}

std::vector<std::uint8_t> SecondaryIndex::EntryFor(const std::uint8_t* record, std::uint16_t block) const
{
    std::vector<std::uint8_t> entry(static_cast<std::size_t>(m_rows->m_recordSize), 0);
    std::size_t pos = 0;
    for (const Part& part : m_parts) {
        const Field& field = *m_table.m_fields[static_cast<std::size_t>(part.field)];
        std::memcpy(entry.data() + pos, record + field.m_offset, static_cast<std::size_t>(field.m_width));
        pos += static_cast<std::size_t>(field.m_width);
    }
    std::memcpy(entry.data() + pos, record, static_cast<std::size_t>(m_table.m_keySize));
    pos += static_cast<std::size_t>(m_table.m_keySize);
    EncodeInteger(entry.data() + pos, 2, block);
    return entry;
}

SecondaryIndex::EntryList SecondaryIndex::ExpectedEntries()
{
    // One buffer for all entries, sorted through an order of positions: a table of a hundred
    // thousand records costs a few megabytes, not an allocation per record.
    const auto size = static_cast<std::size_t>(m_rows->m_recordSize);
    std::vector<std::uint8_t> unsorted;
    unsorted.reserve(static_cast<std::size_t>(std::max<std::int64_t>(m_table.m_recordCount, 0)) * size);
    std::vector<std::uint8_t> block;
    const auto recordSize = static_cast<std::size_t>(m_table.m_recordSize);
    for (const ChainBlock& ref : m_table.m_chain) {
        m_table.m_dataFile.ReadBlock(ref.number, block);
        for (int r = 0; r < ref.count; ++r) {
            const std::vector<std::uint8_t> entry
                = EntryFor(block.data() + 6 + static_cast<std::size_t>(r) * recordSize, ref.number);
            unsorted.insert(unsorted.end(), entry.begin(), entry.end());
        }
    }
    const std::size_t count = unsorted.size() / size;
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = static_cast<std::uint32_t>(i);
    }
    const Table& index = *m_rows;
    std::sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
        return index.CompareKeys(unsorted.data() + x * size, unsorted.data() + y * size) < 0;
    });
    EntryList entries;
    entries.size = size;
    entries.bytes.resize(unsorted.size());
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(entries.bytes.data() + i * size, unsorted.data() + order[i] * size, size);
    }
    return entries;
}

void SecondaryIndex::FollowTableCounter()
{
    // A current maintained index repeats the primary index's change counter (every sample does).
    m_rows->m_header[0x2F] = PrimaryIndexCounter(m_table.m_primaryIndex, m_table.PrimaryIndexPath());
}

void SecondaryIndex::Rebuild()
{
    Table& index = *m_rows;
    index.ReloadIfChanged();
    const EntryList entries = ExpectedEntries();
    const int recordSize = index.m_recordSize;
    const int blockSize = index.m_dataFile.BlockSize();
    const auto capacity = static_cast<std::size_t>((blockSize - 6) / recordSize);
    const std::size_t blocks = (entries.Count() + capacity - 1) / capacity;
    if (blocks > 0xFFFF) {
        index.Fail("the secondary index would need more blocks than a file can have.");
    }
    // Blocks filled in index order, chained 1, 2, 3...; the header that counts them comes after.
    index.ChainClear();
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
    for (std::size_t b = 0; b < blocks; ++b) {
        std::fill(block.begin(), block.end(), 0);
        const std::size_t first = b * capacity;
        const std::size_t count = std::min(capacity, entries.Count() - first);
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(block.data() + 6 + i * static_cast<std::size_t>(recordSize), entries.At(first + i),
                        static_cast<std::size_t>(recordSize));
        }
        const auto number = static_cast<std::uint16_t>(b + 1);
        PutU16(block.data(), b + 1 < blocks ? number + 1u : 0u);
        PutU16(block.data() + 2, static_cast<std::uint32_t>(b));
        PutU16(block.data() + 4, static_cast<std::uint16_t>((static_cast<int>(count) - 1) * recordSize));
        index.m_dataFile.WriteBlock(number, block);
        index.ChainInsert(index.m_chain.size(), { number, static_cast<int>(count) }, block.data() + 6);
    }
    const std::uint64_t size = static_cast<std::uint64_t>(index.m_dataFile.HeaderSize()) + blocks * blockSize;
    if (::ftruncate(index.m_fd, static_cast<off_t>(size)) != 0) {
        index.Fail("cannot write the secondary index: " + SystemErrorText(errno));
    }
    index.m_fileSize = size;
    index.m_fileBlocks = static_cast<std::uint16_t>(blocks);
    index.m_recordCount = static_cast<std::int64_t>(entries.Count());
    index.m_loadedChainIndex = SIZE_MAX;
    std::uint8_t* h = index.m_header.data();
    PutU32(h + 0x06, static_cast<std::uint32_t>(entries.Count()));
    for (int offset : { 0x0A, 0x0C, 0x10, 0x3A }) {
        PutU16(h + offset, static_cast<std::uint32_t>(blocks));
    }
    PutU16(h + 0x0E, blocks > 0 ? 1u : 0u);
    PutU16(h + 0x4D, 0);
    index.m_primaryIndex.Forget();
    // The .Ynn before the header that ties the index to the table: a rebuild cut short leaves an
    // index that still reads as out of date.
    index.RebuildPrimaryIndex();
    if (m_table.IsKeyed()) {
        FollowTableCounter();
    }
    index.WriteHeader();
}

void SecondaryIndex::Update(const std::vector<std::vector<std::uint8_t>>& removed,
                            const std::vector<std::pair<const std::uint8_t*, std::uint16_t>>& placed)
{
    Table& index = *m_rows;
    index.ReloadIfChanged();
    std::vector<std::vector<std::uint8_t>> wanted;
    for (const auto& [record, block] : placed) {
        wanted.push_back(EntryFor(record, block));
    }
    bool changed = false;
    std::size_t ci = 0;
    int pos = 0;
    for (const auto& record : removed) {
        const std::vector<std::uint8_t> entry = EntryFor(record.data(), 0);
        const bool stays = std::any_of(wanted.begin(), wanted.end(),
                                       [&](const auto& w) { return index.CompareKeys(w.data(), entry.data()) == 0; });
        if (!stays && index.LocateKey(entry.data(), ci, pos)) {
            index.RemoveRecord(ci, pos);
            changed = true;
        }
    }
    const auto recordSize = static_cast<std::size_t>(index.m_recordSize);
    for (const auto& entry : wanted) {
        if (!index.LocateKey(entry.data(), ci, pos)) {
            index.InsertRecord(entry);
            changed = true;
            continue;
        }
        // The same entry, perhaps with the hint of a block the record has left.
        std::uint8_t* at = index.m_block.data() + 6 + static_cast<std::size_t>(pos) * recordSize;
        if (std::memcmp(at, entry.data(), recordSize) != 0) {
            std::memcpy(at, entry.data(), recordSize);
            index.WriteBlockRaw(index.m_chain[ci].number, index.m_block);
            changed = true;
        }
    }
    if (changed) {
        index.RebuildPrimaryIndex();
    }
    FollowTableCounter();
    if (changed) {
        index.WriteHeader();
    } else {
        index.WriteHeaderBytes();
    }
}

std::vector<std::string> SecondaryIndex::Differences()
{
    std::vector<std::string> differences;
    if (m_rows == nullptr || !m_unsupported.empty()) {
        return differences;
    }
    Table& index = *m_rows;
    index.ReloadIfChanged();
    const EntryList expectedList = ExpectedEntries();
    std::vector<std::vector<std::uint8_t>> expected;
    expected.reserve(expectedList.Count());
    for (std::size_t i = 0; i < expectedList.Count(); ++i) {
        expected.emplace_back(expectedList.At(i), expectedList.At(i) + expectedList.size);
    }
    std::vector<std::vector<std::uint8_t>> actual;
    std::vector<std::uint8_t> block;
    const auto recordSize = static_cast<std::size_t>(index.m_recordSize);
    for (const ChainBlock& ref : index.m_chain) {
        index.m_dataFile.ReadBlock(ref.number, block);
        for (int r = 0; r < ref.count; ++r) {
            const std::uint8_t* at = block.data() + 6 + static_cast<std::size_t>(r) * recordSize;
            actual.emplace_back(at, at + recordSize);
        }
    }
    // Entries are described by their fields' values, as a dump shows them.
    auto describe = [&](const std::vector<std::uint8_t>& entry) {
        const std::vector<std::uint8_t> saved = index.m_current;
        index.m_current = entry;
        std::string text;
        for (int i = 0; i < index.FieldCount(); ++i) {
            text += (i > 0 ? ", " : "") + index.FieldAt(i).Name() + " " + index.FieldAt(i).AsText();
        }
        index.m_current = saved;
        return "(" + text + ")";
    };
    std::size_t listed = 0;
    auto note = [&](const std::string& what) {
        if (listed++ < kListedDifferences) {
            differences.push_back(what);
        }
    };
    if (actual.size() != expected.size()) {
        differences.push_back("it holds " + std::to_string(actual.size()) + " entries for "
                              + std::to_string(expected.size()) + " records");
    }
    for (std::size_t i = 1; i < actual.size(); ++i) {
        if (index.CompareKeys(actual[i - 1].data(), actual[i].data()) >= 0) {
            note("entry " + describe(actual[i]) + " is out of order");
        }
    }
    // Both in index order: a merge finds what is missing, what is extra and what hints wrong.
    std::vector<std::vector<std::uint8_t>> sortedActual = actual;
    std::stable_sort(sortedActual.begin(), sortedActual.end(),
                     [&](const auto& a, const auto& b) { return index.CompareKeys(a.data(), b.data()) < 0; });
    std::size_t e = 0;
    std::size_t a = 0;
    while (e < expected.size() || a < sortedActual.size()) {
        const int order = e == expected.size() ? 1
            : a == sortedActual.size()         ? -1
                                               : index.CompareKeys(expected[e].data(), sortedActual[a].data());
        if (order < 0) {
            note("entry " + describe(expected[e++]) + " is missing");
        } else if (order > 0) {
            note("entry " + describe(sortedActual[a++]) + " has no record");
        } else {
            if (expected[e] != sortedActual[a]) {
                note("entry " + describe(sortedActual[a]) + " names the wrong block (the record is in block "
                     + std::to_string(DecodeInteger(expected[e].data() + recordSize - 2, 2).value_or(0)) + ")");
            }
            ++e;
            ++a;
        }
    }
    if (listed > kListedDifferences) {
        differences.push_back("... and " + std::to_string(listed - kListedDifferences) + " more entries differ");
    }
    if (GetU32(index.m_header.data() + 0x06) != actual.size()) {
        differences.push_back("its header counts " + std::to_string(GetU32(index.m_header.data() + 0x06))
                              + " entries; its blocks hold " + std::to_string(actual.size()));
    }
    // Its own primary index: one leaf per block of entries.
    const std::string indexPath = index.PrimaryIndexPath();
    if (!platform::FileExists(indexPath)) {
        differences.push_back("its index file \"" + indexPath + "\" is missing");
    } else {
        const auto levels = ReadKeyIndex(indexPath);
        std::vector<IndexEntry> leaves;
        for (std::size_t i = 0; i < index.m_chain.size(); ++i) {
            if (index.m_chain[i].count > 0) {
                const std::uint8_t* key = index.FirstKey(i);
                leaves.push_back({ std::vector<std::uint8_t>(key, key + index.m_keySize), index.m_chain[i].number,
                                   index.m_chain[i].count });
            }
        }
        const std::vector<IndexEntry> none;
        const std::vector<IndexEntry>& found = levels.empty() ? none : levels.front();
        const bool same = found.size() == leaves.size()
            && std::equal(found.begin(), found.end(), leaves.begin(), [](const IndexEntry& x, const IndexEntry& y) {
                              return x.key == y.key && x.block == y.block && x.count == y.count;
                          });
        if (!same) {
            differences.push_back("its index file \"" + indexPath + "\" does not match its blocks");
        }
    }
    if (m_table.IsKeyed()) {
        const std::uint8_t counter = PrimaryIndexCounter(m_table.m_primaryIndex, m_table.PrimaryIndexPath());
        if (index.m_header[0x2F] != counter) {
            differences.push_back("its table counter (byte 0x2F) is " + std::to_string(index.m_header[0x2F])
                                  + " where the primary index has " + std::to_string(counter)
                                  + ", so the product takes it for out of date");
        }
    }
    return differences;
}

} // namespace wh::paradox
