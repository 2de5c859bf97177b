#include "support/paradox/Table.h"

#include "support/Errors.h"
#include "support/paradox/Encoding.h"
#include "support/paradox/FormatDetail.h"
#include "support/paradox/SecondaryIndex.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::paradox {

using namespace encoding;
using namespace detail;

namespace {

// A byte far beyond any table's data: writers hold a byte-range lock on it while they post, so
// that posts of several processes (or handles) never interleave. It is independent of the flock.
constexpr off_t kWriteLockOffset = 0x7FFFFFFF00LL;

// A byte-range lock of the open file description (F_OFD_*), released on scope exit.
class RangeLock
{
public:
    RangeLock(int fd, short type)
        : m_fd(fd)
    {
        struct flock lock = {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = kWriteLockOffset;
        lock.l_len = 1;
        while (::fcntl(fd, F_OFD_SETLKW, &lock) != 0 && errno == EINTR) { }
    }
    ~RangeLock()
    {
        struct flock lock = {};
        lock.l_type = F_UNLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = kWriteLockOffset;
        lock.l_len = 1;
        ::fcntl(m_fd, F_OFD_SETLK, &lock);
    }
    RangeLock(const RangeLock&) = delete;
    RangeLock& operator=(const RangeLock&) = delete;

private:
    int m_fd;
};

void RemoveFamily(const std::string& folder, const std::string& fileName)
{
    const std::string base = text::UpperCase(BaseName(fileName));
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> victims;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string upper = text::UpperCase(name);
        if (upper.size() <= base.size() + 1 || upper.compare(0, base.size() + 1, base + ".") != 0) {
            continue;
        }
        const std::string ext = upper.substr(base.size() + 1);
        const bool secondary = ext.size() == 3 && (ext[0] == 'X' || ext[0] == 'Y');
        if (ext == "DB" || ext == "PX" || ext == "MB" || ext == "VAL" || secondary) {
            victims.push_back(platform::JoinPath(folder, name));
        }
    }
    ::closedir(dir);
    for (const auto& path : victims) {
        ::unlink(path.c_str());
    }
}

} // namespace

std::string_view TypeLetter(FieldType type)
{
    static constexpr const char* kLetters = "ADSI$NLMBFOGT@+#Y";
    const auto index = static_cast<std::size_t>(type);
    return std::string_view(kLetters + index, 1);
}

// ---------------------------------------------------------------------------------------------
// Construction, files and header

Table::Table(std::string folder, std::string fileName)
    : m_folder(std::move(folder))
    , m_fileName(WithExtension(fileName))
    , m_tableName(m_fileName)
{
}

Table::Table(std::string folder, std::string fileName, IndexFileTag)
    : m_folder(std::move(folder))
    , m_fileName(std::move(fileName))
    , m_tableName(m_fileName)
    , m_isIndexFile(true)
{
}

Table::~Table()
{
    Close();
}

void Table::Fail(const std::string& what) const
{
    throw TableError("Table \"" + (m_dbPath.empty() ? m_fileName : m_dbPath) + "\": " + what);
}

bool Table::Exists(const std::string& folder, const std::string& fileName)
{
    return platform::FileExists(platform::ResolveNoCase(folder, WithExtension(fileName)));
}

void Table::Open(OpenMode mode)
{
    if (IsOpen()) {
        return;
    }
    m_dbPath = platform::ResolveNoCase(m_folder, m_fileName);
    m_memo.Bind(m_folder, m_fileName, m_dbPath);
    if (!platform::FileExists(m_dbPath)) {
        Fail("the table does not exist.");
    }
    using platform::FileLock;
    const auto outcome = m_lock.Acquire(
        m_dbPath, mode == OpenMode::Exclusive ? FileLock::Mode::Exclusive : FileLock::Mode::Shared, false);
    if (outcome == FileLock::Outcome::HeldElsewhere) {
        Fail(mode == OpenMode::Exclusive ? "the table is in use by another program and cannot be opened exclusively."
                                         : "the table is opened exclusively by another program.");
    }
    if (outcome == FileLock::Outcome::CannotOpen) {
        Fail("cannot open the table: " + SystemErrorText(m_lock.ErrorNumber()));
    }
    m_fd = m_lock.Descriptor();
    m_writable = (::fcntl(m_fd, F_GETFL) & O_ACCMODE) == O_RDWR;
    m_readOnlyReason = m_writable ? 0 : m_lock.ReadOnlyReason();
    m_indexFiles.clear();
    if (!m_isIndexFile) {
        for (const std::string& name : SecondaryIndexFiles(m_folder, m_fileName)) {
            if (std::toupper(static_cast<unsigned char>(name[name.size() - 3])) == 'X') {
                m_indexFiles.push_back(name);
            }
        }
    }
    try {
        RangeLock readLock(m_fd, F_RDLCK);
        LoadHeader();
        LoadChain();
    } catch (...) {
        Close();
        throw;
    }
    m_state = State::Browse;
    First();
}

void Table::Close()
{
    m_state = State::Browse;
    m_pendingBlobs.clear();
    m_memo.Close();
    m_indexes.clear();
    m_indexesRepaired = false;
    m_lock.Release();
    m_fd = -1;
    m_fields.clear();
    ChainClear();
    m_eof = true;
    m_loadedChainIndex = SIZE_MAX;
}

void Table::LoadHeader()
{
    BlockFileHeader header = ReadBlockFileHeader(m_fd, m_dbPath);
    m_fileSize = header.fileSize;
    m_header = header.bytes;
    m_recordSize = header.recordSize;
    m_fileType = header.fileType;
    m_version = header.version;
    m_keyFields = header.keyFieldCount;
    m_sortOrder = header.sortOrder;
    m_fileBlocks = header.fileBlocks;
    if (m_isIndexFile ? (m_fileType != 3 && m_fileType != 5 && m_fileType != 6 && m_fileType != 8)
                      : (m_fileType != 0 && m_fileType != 2)) {
        Fail(m_isIndexFile ? "the file is not a Paradox secondary index." : "the file is not a Paradox data table.");
    }
    ParseBlockFileLayout(header, m_dbPath);
    if (m_isIndexFile) {
        LoadIndexFileLayout(header);
    }
    m_dataFile.Attach(m_fd, m_dbPath, header.headerSize, header.blockSize);
    m_cryptKey = header.cryptKey;
    m_codePage = header.codePage;
    std::vector<std::unique_ptr<Field>> fields;
    for (auto& layout : header.fields) {
        const int index = static_cast<int>(fields.size());
        fields.push_back(std::unique_ptr<Field>(
            new Field(this, index, std::move(layout.name), layout.type, layout.size, layout.offset, layout.width)));
    }
    if (!m_fields.empty()) {
        // A reload keeps the Field objects that callers hold, as long as the structure is the same.
        bool same = m_fields.size() == fields.size();
        for (std::size_t i = 0; same && i < fields.size(); ++i) {
            same = m_fields[i]->m_type == fields[i]->m_type && m_fields[i]->m_width == fields[i]->m_width
                && m_fields[i]->m_name == fields[i]->m_name;
        }
        if (!same) {
            Fail("its structure was changed by another program; close and open it again.");
        }
    } else {
        m_fields = std::move(fields);
    }
    m_keySize = header.keySize;
    if (m_current.size() != static_cast<std::size_t>(m_recordSize)) {
        m_current.assign(static_cast<std::size_t>(m_recordSize), 0);
    }
    m_maxAutoInc = -1;
}

void Table::LoadChain()
{
    ChainClear();
    m_loadedChainIndex = SIZE_MAX;
    std::int64_t total = 0;
    m_dataFile.WalkChain(GetU16(m_header.data() + 0x0E), m_fileSize, m_recordSize, static_cast<std::size_t>(m_keySize),
                         [&](ChainBlock block, const std::uint8_t* firstKey) {
                             ChainInsert(m_chain.size(), block, firstKey);
                             total += block.count;
                             m_fileBlocks = std::max(m_fileBlocks, block.number);
                         });
    m_recordCount = total;
    m_primaryIndex.Forget();
}

void Table::WriteBlockRaw(std::uint16_t number, const std::vector<std::uint8_t>& block)
{
    m_dataFile.WriteBlock(number, block);
    m_fileSize = std::max<std::uint64_t>(m_fileSize, m_dataFile.BlockOffset(number) + block.size());
    if (m_loadedChainIndex < m_chain.size() && m_chain[m_loadedChainIndex].number == number) {
        m_block = block;
    }
}

void Table::LoadBlock(std::size_t chainIndex)
{
    if (m_loadedChainIndex == chainIndex) {
        return;
    }
    m_dataFile.ReadBlock(m_chain[chainIndex].number, m_block);
    // The chain was read under the lock; a block that changed since is re-checked here.
    const auto lastOffset = static_cast<std::int16_t>(GetU16(m_block.data() + 4));
    const int count = (lastOffset + m_recordSize) / m_recordSize;
    if (lastOffset < -m_recordSize || count != m_chain[chainIndex].count) {
        m_loadedChainIndex = SIZE_MAX;
        Fail("the table was changed by another program; refresh it.");
    }
    m_loadedChainIndex = chainIndex;
}

// ---------------------------------------------------------------------------------------------
// Navigation

void Table::ClearRecordBuffer()
{
    std::fill(m_current.begin(), m_current.end(), 0);
}

void Table::PositionAt(std::size_t chainIndex, int record)
{
    while (chainIndex < m_chain.size() && record >= m_chain[chainIndex].count) {
        ++chainIndex;
        record = 0;
    }
    m_chainIndex = chainIndex;
    m_record = record;
    if (chainIndex >= m_chain.size()) {
        m_eof = true;
        ClearRecordBuffer();
        return;
    }
    m_eof = false;
    LoadBlock(chainIndex);
    std::memcpy(m_current.data(), m_block.data() + 6 + static_cast<std::size_t>(record) * m_recordSize,
                static_cast<std::size_t>(m_recordSize));
}

void Table::First()
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (IsEditing()) {
        Post();
    }
    PositionAt(0, 0);
}

void Table::Next()
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (IsEditing()) {
        Post();
    }
    if (m_eof) {
        return;
    }
    PositionAt(m_chainIndex, m_record + 1);
}

void Table::Last()
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (IsEditing()) {
        Post();
    }
    for (std::size_t i = m_chain.size(); i > 0; --i) {
        if (m_chain[i - 1].count > 0) {
            PositionAt(i - 1, m_chain[i - 1].count - 1);
            return;
        }
    }
    PositionAt(m_chain.size(), 0);
}

std::int64_t Table::RecordCount() const
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    return m_recordCount;
}

void Table::Refresh()
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (IsEditing()) {
        Post();
    }
    const std::vector<std::uint8_t> before = m_current;
    const bool wasEof = m_eof;
    const std::size_t chainIndex = m_chainIndex;
    const int record = m_record;
    {
        RangeLock readLock(m_fd, F_RDLCK);
        LoadHeader();
        LoadChain();
    }
    std::size_t foundChain = 0;
    int foundRecord = 0;
    if (!wasEof && IsKeyed() && LocateKey(before.data(), foundChain, foundRecord)) {
        PositionAt(foundChain, foundRecord);
    } else if (wasEof) {
        PositionAt(m_chain.size(), 0);
    } else {
        PositionAt(std::min(chainIndex, m_chain.size()), record);
    }
}

int Table::CompareKeys(const std::uint8_t* a, const std::uint8_t* b) const
{
    if (m_keyParts.empty()) {
        return std::memcmp(a, b, static_cast<std::size_t>(m_keySize));
    }
    for (const KeyPart& part : m_keyParts) {
        const int order = std::memcmp(a + part.offset, b + part.offset, static_cast<std::size_t>(part.width));
        if (order != 0) {
            return part.descending ? -order : order;
        }
    }
    return 0;
}

bool Table::LocateKey(const std::uint8_t* key, std::size_t& chainIndex, int& record)
{
    // The last block whose first key is not above the key, then a search inside it.
    std::size_t target = 0;
    std::size_t low = 0;
    std::size_t high = m_chain.size();
    const bool anyEmpty = std::any_of(m_chain.begin(), m_chain.end(), [](const ChainBlock& b) { return b.count == 0; });
    auto notAbove = [&](std::size_t index) { return CompareKeys(FirstKey(index), key) <= 0; };
    if (anyEmpty) {
        for (std::size_t i = 0; i < m_chain.size(); ++i) {
            if (m_chain[i].count == 0) {
                continue;
            }
            if (!notAbove(i)) {
                break;
            }
            target = i;
        }
    } else {
        while (low < high) {
            const std::size_t mid = (low + high) / 2;
            if (notAbove(mid)) {
                target = mid;
                low = mid + 1;
            } else {
                high = mid;
            }
        }
    }
    chainIndex = target;
    record = 0;
    if (m_chain.empty()) {
        return false;
    }
    LoadBlock(target);
    int lo = 0;
    int hi = m_chain[target].count;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        const int order = CompareKeys(m_block.data() + 6 + static_cast<std::size_t>(mid) * m_recordSize, key);
        if (order == 0) {
            record = mid;
            return true;
        }
        if (order < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    record = lo;
    return false;
}

bool Table::FindKey(const std::vector<std::string>& keyValues)
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (!IsKeyed()) {
        Fail("the table has no primary key.");
    }
    if (keyValues.size() > static_cast<std::size_t>(m_keyFields) || keyValues.empty()) {
        Fail("a key needs " + std::to_string(m_keyFields) + " value(s).");
    }
    if (IsEditing()) {
        Post();
    }
    // Encode the key through the fields' own setters on a scratch record.
    const std::vector<std::uint8_t> saved = m_current;
    const State savedState = m_state;
    m_state = State::Insert;
    std::vector<std::uint8_t> key;
    try {
        ClearRecordBuffer();
        for (std::size_t i = 0; i < keyValues.size(); ++i) {
            m_fields[i]->SetText(keyValues[i]);
        }
        key.assign(m_current.begin(), m_current.begin() + m_keySize);
    } catch (...) {
        m_current = saved;
        m_state = savedState;
        throw;
    }
    m_current = saved;
    m_state = savedState;
    std::size_t chainIndex = 0;
    int record = 0;
    if (keyValues.size() == static_cast<std::size_t>(m_keyFields)) {
        if (!LocateKey(key.data(), chainIndex, record)) {
            return false;
        }
        PositionAt(chainIndex, record);
        return true;
    }
    // A partial key: the first record whose leading key fields match.
    const std::size_t prefix = static_cast<std::size_t>(m_fields[keyValues.size()]->m_offset);
    LocateKey(key.data(), chainIndex, record);
    while (chainIndex < m_chain.size() && record >= m_chain[chainIndex].count) {
        ++chainIndex;
        record = 0;
    }
    if (chainIndex >= m_chain.size()) {
        return false;
    }
    LoadBlock(chainIndex);
    if (std::memcmp(m_block.data() + 6 + static_cast<std::size_t>(record) * m_recordSize, key.data(), prefix) != 0) {
        return false;
    }
    PositionAt(chainIndex, record);
    return true;
}

bool Table::FindKey(std::int64_t key)
{
    return FindKey(std::vector<std::string> { std::to_string(key) });
}

bool Table::FindFirstNoCase(std::string_view fieldName, std::string_view value)
{
    Field& field = FieldByName(fieldName);
    if (IsEditing()) {
        Post();
    }
    const std::size_t chainIndex = m_chainIndex;
    const int record = m_record;
    const bool wasEof = m_eof;
    for (PositionAt(0, 0); !m_eof; PositionAt(m_chainIndex, m_record + 1)) {
        if (text::EqualsIgnoreCase(field.AsText(), value)) {
            return true;
        }
    }
    if (wasEof) {
        PositionAt(m_chain.size(), 0);
    } else {
        PositionAt(chainIndex, record);
    }
    return false;
}

Field& Table::FieldAt(int index)
{
    if (index < 0 || index >= FieldCount()) {
        Fail("there is no field number " + std::to_string(index) + ".");
    }
    return *m_fields[static_cast<std::size_t>(index)];
}

Field* Table::FindField(std::string_view name)
{
    for (auto& field : m_fields) {
        if (text::EqualsIgnoreCase(field->Name(), name)) {
            return field.get();
        }
    }
    return nullptr;
}

Field& Table::FieldByName(std::string_view name)
{
    if (Field* field = FindField(name)) {
        return *field;
    }
    throw TableError("Field \"" + std::string(name) + "\" not found in table \""
                     + (m_dbPath.empty() ? m_fileName : m_dbPath) + "\".");
}

// ---------------------------------------------------------------------------------------------
// Editing

void Table::CheckWritable()
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (!m_writable) {
        // Say why (a read-only disk, no permission), or the user cannot tell what to mend.
        Fail(m_readOnlyReason ? "the table is read-only: " + SystemErrorText(m_readOnlyReason) + "."
                              : std::string("the table is read-only."));
    }
    if (m_version < 5 && IsKeyed()) {
        Fail("tables of this old format can only be read.");
    }
    if (IsKeyed() && m_sortOrder != 0x00 && m_sortOrder != kSortOrderAscii) {
        for (int i = 0; i < m_keyFields; ++i) {
            if (m_fields[static_cast<std::size_t>(i)]->Type() == FieldType::Alpha) {
                Fail("the table's alpha key uses a sort order that this program cannot keep; it can only be read.");
            }
        }
    }
    PrepareIndexes();
}

void Table::Edit()
{
    CheckWritable();
    if (IsEditing()) {
        return;
    }
    if (m_eof && m_recordCount == 0) {
        Append();
        return;
    }
    if (m_eof) {
        Fail("there is no current record to edit.");
    }
    m_original = m_current;
    m_pendingBlobs.clear();
    m_state = State::Edit;
}

void Table::Append()
{
    CheckWritable();
    if (IsEditing()) {
        Post();
    }
    m_original.clear();
    m_pendingBlobs.clear();
    ClearRecordBuffer();
    m_state = State::Insert;
}

void Table::Cancel()
{
    if (!IsEditing()) {
        return;
    }
    m_state = State::Browse;
    m_pendingBlobs.clear();
    if (!m_original.empty()) {
        m_current = m_original;
    } else {
        PositionAt(m_chainIndex, m_record);
    }
}

void Table::ReloadIfChanged()
{
    std::vector<std::uint8_t> onDisk(static_cast<std::size_t>(std::min(m_dataFile.HeaderSize(), kExtendedHeader)));
    struct stat info = {};
    ::fstat(m_fd, &info);
    m_dataFile.ReadAt(0, onDisk.data(), onDisk.size());
    const bool same = m_version >= 5 && static_cast<std::uint64_t>(info.st_size) == m_fileSize
        && std::equal(onDisk.begin(), onDisk.end(), m_header.begin());
    if (!same) {
        LoadHeader();
        LoadChain();
        // Another writer was here: its index writes are checked again before ours.
        m_indexesRepaired = false;
    }
}

void Table::AssignAutoInc(std::vector<std::uint8_t>& record)
{
    for (const auto& field : m_fields) {
        if (field->Type() != FieldType::AutoInc) {
            continue;
        }
        if (m_maxAutoInc < 0) {
            // The highest stored value, once per load: the header counter alone is not trusted.
            m_maxAutoInc = 0;
            std::vector<std::uint8_t> block;
            for (const auto& ref : m_chain) {
                m_dataFile.ReadBlock(ref.number, block);
                for (int r = 0; r < ref.count; ++r) {
                    const auto value = DecodeInteger(block.data() + 6 + r * m_recordSize + field->m_offset, 4);
                    m_maxAutoInc = std::max(m_maxAutoInc, value.value_or(0));
                }
            }
        }
        std::uint8_t* raw = record.data() + field->m_offset;
        auto counter = static_cast<std::int64_t>(GetU32(m_header.data() + 0x49));
        auto value = DecodeInteger(raw, 4);
        if (!value) {
            value = std::max(counter, m_maxAutoInc) + 1;
            if (!EncodeInteger(raw, 4, *value)) {
                Fail("the autoincrement field \"" + field->Name() + "\" has run out of values.");
            }
        }
        m_maxAutoInc = std::max(m_maxAutoInc, *value);
        PutU32(m_header.data() + 0x49, static_cast<std::uint32_t>(std::max(counter, *value)));
    }
}

std::uint16_t Table::AllocateBlock()
{
    std::uint8_t* h = m_header.data();
    std::uint16_t number = GetU16(h + 0x4D);
    if (number != 0) {
        if (number > m_fileBlocks) {
            Fail("the file is damaged (bad free-block list).");
        }
        std::uint8_t head[2];
        m_dataFile.ReadAt(m_dataFile.BlockOffset(number), head, 2);
        const std::uint16_t next = GetU16(head);
        PutU16(h + 0x4D, next <= m_fileBlocks && next != number ? next : 0);
    } else {
        if (m_fileBlocks == 0xFFFF) {
            Fail("the table is full.");
        }
        number = ++m_fileBlocks;
        PutU16(h + 0x0C, m_fileBlocks);
        PutU16(h + 0x3A, m_fileBlocks);
    }
    PutU16(h + 0x0A, static_cast<std::uint32_t>(GetU16(h + 0x0A) + 1));
    return number;
}

void Table::ReleaseBlock(std::size_t chainIndex)
{
    std::uint8_t* h = m_header.data();
    const std::uint16_t number = m_chain[chainIndex].number;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(m_dataFile.BlockSize()), 0);
    PutU16(block.data(), GetU16(h + 0x4D));
    PutU16(block.data() + 4, static_cast<std::uint16_t>(-m_recordSize));
    WriteBlockRaw(number, block);
    PutU16(h + 0x4D, number);
    PutU16(h + 0x0A, static_cast<std::uint32_t>(GetU16(h + 0x0A) - 1));
    ChainErase(chainIndex);
    m_loadedChainIndex = SIZE_MAX;
}

namespace {

void SetBlockLinks(std::vector<std::uint8_t>& block, std::uint16_t next, std::uint16_t prev, int count, int recordSize)
{
    PutU16(block.data(), next);
    PutU16(block.data() + 2, prev);
    PutU16(block.data() + 4, static_cast<std::uint16_t>((count - 1) * recordSize));
}

} // namespace

void Table::SetFirstKey(std::size_t chainIndex, const std::vector<std::uint8_t>& block)
{
    if (m_keySize == 0) {
        return;
    }
    std::memcpy(m_firstKeys.data() + chainIndex * static_cast<std::size_t>(m_keySize), block.data() + 6,
                static_cast<std::size_t>(m_keySize));
}

void Table::ChainInsert(std::size_t chainIndex, ChainBlock ref, const std::uint8_t* firstKey)
{
    const auto keySize = static_cast<std::size_t>(m_keySize);
    m_chain.insert(m_chain.begin() + static_cast<std::ptrdiff_t>(chainIndex), ref);
    m_firstKeys.insert(m_firstKeys.begin() + static_cast<std::ptrdiff_t>(chainIndex * keySize), firstKey,
                       firstKey + keySize);
}

void Table::ChainErase(std::size_t chainIndex)
{
    const auto keySize = static_cast<std::size_t>(m_keySize);
    m_chain.erase(m_chain.begin() + static_cast<std::ptrdiff_t>(chainIndex));
    const auto at = m_firstKeys.begin() + static_cast<std::ptrdiff_t>(chainIndex * keySize);
    m_firstKeys.erase(at, at + static_cast<std::ptrdiff_t>(keySize));
}

void Table::ChainClear()
{
    m_chain.clear();
    m_firstKeys.clear();
}

void Table::InsertRecord(const std::vector<std::uint8_t>& record)
{
    const auto rs = static_cast<std::size_t>(m_recordSize);
    const int capacity = (m_dataFile.BlockSize() - 6) / m_recordSize;
    std::vector<std::uint8_t> block;
    std::size_t ci = 0;
    int pos = 0;
    if (m_chain.empty()) {
        const std::uint16_t number = AllocateBlock();
        block.assign(static_cast<std::size_t>(m_dataFile.BlockSize()), 0);
        std::memcpy(block.data() + 6, record.data(), rs);
        SetBlockLinks(block, 0, 0, 1, m_recordSize);
        ChainInsert(0, { number, 1 }, record.data());
        WriteBlockRaw(number, block);
        PutU16(m_header.data() + 0x0E, number);
        PutU16(m_header.data() + 0x10, number);
    } else {
        if (IsKeyed()) {
            if (LocateKey(record.data(), ci, pos)) {
                Fail("key violation: a record with this key exists already.");
            }
        } else {
            ci = m_chain.size() - 1;
            pos = m_chain[ci].count;
        }
        m_dataFile.ReadBlock(m_chain[ci].number, block);
        int count = m_chain[ci].count;
        const std::uint16_t number = m_chain[ci].number;
        const std::uint16_t next = GetU16(block.data());
        const std::uint16_t prev = GetU16(block.data() + 2);
        if (count < capacity) {
            std::memmove(block.data() + 6 + (pos + 1) * rs, block.data() + 6 + pos * rs, (count - pos) * rs);
            std::memcpy(block.data() + 6 + pos * rs, record.data(), rs);
            ++count;
            SetBlockLinks(block, next, prev, count, m_recordSize);
            m_chain[ci].count = count;
            SetFirstKey(ci, block);
            WriteBlockRaw(number, block);
        } else {
            // A full block: the record starts a new block after the last one, or the block is
            // split in half into a new block linked right after it.
            const std::uint16_t fresh = AllocateBlock();
            std::vector<std::uint8_t> other(static_cast<std::size_t>(m_dataFile.BlockSize()), 0);
            const bool atEnd = ci + 1 == m_chain.size() && pos == count;
            int keep = atEnd ? count : count / 2;
            const bool toRight = pos > keep || atEnd;
            if (toRight && count - keep + 1 > capacity) {
                // A block of one record: the new one after it gets the new block to itself.
                keep = count;
            }
            const int moved = count - keep;
            std::memcpy(other.data() + 6, block.data() + 6 + keep * rs, moved * rs);
            for (int r = 0; m_collectMoves && r < moved; ++r) {
                const std::uint8_t* at = other.data() + 6 + r * rs;
                m_movedRecords.emplace_back(at, at + rs);
            }
            std::memset(block.data() + 6 + keep * rs, 0, moved * rs);
            int leftCount = keep;
            int rightCount = moved;
            std::size_t targetChain = ci;
            int targetPos = pos;
            std::vector<std::uint8_t>* target = &block;
            if (toRight) {
                target = &other;
                targetChain = ci + 1;
                targetPos = pos - keep;
                ++rightCount;
            } else {
                ++leftCount;
            }
            const int targetCount = target == &block ? leftCount - 1 : rightCount - 1;
            std::memmove(target->data() + 6 + (targetPos + 1) * rs, target->data() + 6 + targetPos * rs,
                         (targetCount - targetPos) * rs);
            std::memcpy(target->data() + 6 + targetPos * rs, record.data(), rs);
            SetBlockLinks(other, next, number, rightCount, m_recordSize);
            SetBlockLinks(block, fresh, prev, leftCount, m_recordSize);
            m_chain[ci].count = leftCount;
            SetFirstKey(ci, block);
            ChainInsert(ci + 1, { fresh, rightCount }, other.data() + 6);
            SetFirstKey(ci + 1, other);
            m_loadedChainIndex = SIZE_MAX;
            // The new block first: until the old one links it, it is unreachable.
            WriteBlockRaw(fresh, other);
            WriteBlockRaw(number, block);
            if (next != 0) {
                std::uint8_t prevLink[2];
                PutU16(prevLink, fresh);
                m_dataFile.WriteAt(m_dataFile.BlockOffset(next) + 2, prevLink, 2);
            } else {
                PutU16(m_header.data() + 0x10, fresh);
            }
            ci = targetChain;
            pos = targetPos;
        }
    }
    ++m_recordCount;
    PutU32(m_header.data() + 0x06, static_cast<std::uint32_t>(m_recordCount));
    m_loadedChainIndex = SIZE_MAX;
    m_chainIndex = ci;
    m_record = pos;
}

void Table::RemoveRecord(std::size_t ci, int pos)
{
    const auto rs = static_cast<std::size_t>(m_recordSize);
    std::vector<std::uint8_t> block;
    m_dataFile.ReadBlock(m_chain[ci].number, block);
    int count = m_chain[ci].count;
    const std::uint16_t number = m_chain[ci].number;
    const std::uint16_t next = GetU16(block.data());
    const std::uint16_t prev = GetU16(block.data() + 2);
    std::memmove(block.data() + 6 + pos * rs, block.data() + 6 + (pos + 1) * rs, (count - pos - 1) * rs);
    std::memset(block.data() + 6 + (count - 1) * rs, 0, rs);
    --count;
    m_chain[ci].count = count;
    std::uint8_t* h = m_header.data();
    m_loadedChainIndex = SIZE_MAX;
    if (count > 0) {
        SetBlockLinks(block, next, prev, count, m_recordSize);
        SetFirstKey(ci, block);
        WriteBlockRaw(number, block);
    } else if (m_chain.size() == 1) {
        // The last record: the table returns to its empty form, a header without blocks.
        ChainClear();
        m_fileBlocks = 0;
        for (int offset : { 0x0A, 0x0C, 0x0E, 0x10, 0x3A, 0x4D }) {
            PutU16(h + offset, 0);
        }
        if (::ftruncate(m_fd, m_dataFile.HeaderSize()) != 0) {
            Fail("cannot shrink the table: " + SystemErrorText(errno));
        }
        m_fileSize = static_cast<std::uint64_t>(m_dataFile.HeaderSize());
    } else if (ci == 0) {
        // The first block stays first: it takes over the records of the next block.
        std::vector<std::uint8_t> second;
        m_dataFile.ReadBlock(next, second);
        const std::uint16_t afterNext = GetU16(second.data());
        const int moved = m_chain[1].count;
        std::memset(block.data() + 6, 0, block.size() - 6);
        std::memcpy(block.data() + 6, second.data() + 6, moved * rs);
        for (int r = 0; m_collectMoves && r < moved; ++r) {
            const std::uint8_t* at = block.data() + 6 + r * rs;
            m_movedRecords.emplace_back(at, at + rs);
        }
        SetBlockLinks(block, afterNext, prev, moved, m_recordSize);
        m_chain[0].count = moved;
        SetFirstKey(0, block);
        WriteBlockRaw(number, block);
        if (afterNext != 0) {
            std::uint8_t link[2];
            PutU16(link, number);
            m_dataFile.WriteAt(m_dataFile.BlockOffset(afterNext) + 2, link, 2);
        } else {
            PutU16(h + 0x10, number);
        }
        ReleaseBlock(1);
    } else {
        std::uint8_t link[2];
        PutU16(link, next);
        m_dataFile.WriteAt(m_dataFile.BlockOffset(prev), link, 2);
        if (next != 0) {
            PutU16(link, prev);
            m_dataFile.WriteAt(m_dataFile.BlockOffset(next) + 2, link, 2);
        } else {
            PutU16(h + 0x10, prev);
        }
        ReleaseBlock(ci);
    }
    --m_recordCount;
    PutU32(h + 0x06, static_cast<std::uint32_t>(m_recordCount));
}

void Table::WriteHeader()
{
    std::uint8_t* h = m_header.data();
    if (GetU16(h + 0x0C) < m_fileBlocks) {
        // Blocks that a post wrote before it could update the header are counted again.
        PutU16(h + 0x0A, static_cast<std::uint32_t>(GetU16(h + 0x0A) + m_fileBlocks - GetU16(h + 0x0C)));
        PutU16(h + 0x0C, m_fileBlocks);
        PutU16(h + 0x3A, m_fileBlocks);
    }
    if (m_version >= 5 && m_dataFile.HeaderSize() >= kExtendedHeader && !m_isIndexFile) {
        // The engine's edit counter: other openers see from it that the table changed.
        PutU16(h + 0x74, static_cast<std::uint32_t>(GetU16(h + 0x74) + 1));
    }
    if (IsKeyed() || HasIndexFiles()) {
        // The primary index is rewritten with every change; its counter moves in step. Secondary
        // indexes keep the value they were last brought up to date with.
        int counter = h[0x2D] + 1;
        if (counter > 255) {
            counter = 2;
        }
        h[0x2D] = static_cast<std::uint8_t>(counter);
    }
    WriteHeaderBytes();
}

void Table::WriteHeaderBytes()
{
    m_dataFile.WriteAt(0, m_header.data(),
                       static_cast<std::size_t>(std::min(m_dataFile.HeaderSize(), kExtendedHeader)));
}

std::string Table::PrimaryIndexPath() const
{
    if (!m_isIndexFile) {
        return Companion(m_folder, m_fileName, ".PX");
    }
    // NAME.X02 has NAME.Y02, NAME.XG0 has NAME.YG0.
    const std::string ext = ".Y" + text::UpperCase(m_fileName.substr(m_fileName.size() - 2));
    return Companion(m_folder, m_fileName, ext.c_str());
}

void Table::RebuildPrimaryIndex()
{
    std::vector<IndexLeaf> leaves;
    for (std::size_t i = 0; i < m_chain.size(); ++i) {
        if (m_chain[i].count > 0) {
            leaves.push_back({ FirstKey(i), m_chain[i].number, m_chain[i].count });
        }
    }
    IndexHeaderParams params;
    params.fileType = m_isIndexFile ? (m_fileType == 3 || m_fileType == 5 ? 4 : 7) : 1;
    params.blockSize = m_dataFile.BlockSize();
    params.keySize = m_keySize;
    params.keyFieldCount = m_keyFields;
    params.fieldPairs = m_header.data() + kExtendedHeader;
    params.tableBaseName = BaseName(m_fileName);
    params.sortOrder = m_sortOrder;
    params.version = m_version;
    params.tableCounter = static_cast<std::uint32_t>(GetU16(m_header.data() + 0x12) + 1);
    params.indexCounter = static_cast<std::uint8_t>(m_header[0x2D] - 1);
    m_primaryIndex.Build(PrimaryIndexPath(), m_dbPath, std::move(leaves), params);
}

void Table::RetryPrimaryIndex() noexcept
{
    // A primary index cut short by a failed write no longer matches the blocks; it is built once
    // more from them, so that a passing fault leaves a table that checks clean.
    if (!IsKeyed()) {
        return;
    }
    try {
        RebuildPrimaryIndex();
    } catch (const std::exception&) {
        // Still refused: the index stays marked, and the next write builds it again.
    }
}

void Table::RefuseDuplicateKey(const std::vector<std::uint8_t>& record)
{
    std::size_t ci = 0;
    int pos = 0;
    if (IsKeyed() && LocateKey(record.data(), ci, pos)) {
        Fail("key violation: a record with this key exists already.");
    }
}

void Table::Post()
{
    if (!IsEditing()) {
        return;
    }
    CheckWritable();
    RangeLock writeLock(m_fd, F_WRLCK);
    ReloadIfChanged();
    RepairIndexes();
    // Until this write has reached the indexes too, they count as unchecked: a failure on the way
    // leaves them for the next write to repair.
    m_indexesRepaired = false;
    std::vector<std::vector<std::uint8_t>> removed;
    m_movedRecords.clear();
    std::vector<std::uint8_t> record = m_current;
    // New memo and blob values go to the .MB before the record points at them.
    for (const auto& [index, value] : m_pendingBlobs) {
        const Field& field = *m_fields[static_cast<std::size_t>(index)];
        m_memo.WriteBlob(field, record.data() + field.m_offset, value);
    }
    if (m_state == State::Insert) {
        AssignAutoInc(record);
        RefuseDuplicateKey(record);
        MarkIndexesInProgress();
        InsertRecord(record);
    } else {
        // Find the record being edited again (another writer may have moved it). It must still be
        // as this edit began: posting over another writer's change would lose it and keep memo and
        // blob values that the other writer has freed.
        std::size_t ci = m_chainIndex;
        int pos = m_record;
        if (!LocateUnchanged(m_original, ci, pos)) {
            Fail("the record was changed or deleted by another user.");
        }
        AssignAutoInc(record);
        if (m_collectMoves) {
            removed.push_back(m_original);
        }
        if (IsKeyed() && CompareKeys(record.data(), m_original.data()) != 0) {
            // A new key: insert first, then remove the old record, so a crash in between keeps both.
            RefuseDuplicateKey(record);
            MarkIndexesInProgress();
            InsertRecord(record);
            std::size_t oldChain = 0;
            int oldPos = 0;
            if (LocateKey(m_original.data(), oldChain, oldPos)) {
                RemoveRecord(oldChain, oldPos);
            }
            LocateKey(record.data(), ci, pos);
            m_chainIndex = ci;
            m_record = pos;
        } else {
            MarkIndexesInProgress();
            std::vector<std::uint8_t> block;
            m_dataFile.ReadBlock(m_chain[ci].number, block);
            std::memcpy(block.data() + 6 + pos * static_cast<std::size_t>(m_recordSize), record.data(), record.size());
            WriteBlockRaw(m_chain[ci].number, block);
            m_chainIndex = ci;
            m_record = pos;
        }
        for (const auto& [index, value] : m_pendingBlobs) {
            const Field& field = *m_fields[static_cast<std::size_t>(index)];
            m_memo.FreeBlob(field, m_original.data() + field.m_offset);
        }
    }
    try {
        WriteHeader();
        if (IsKeyed()) {
            RebuildPrimaryIndex();
        }
        if (m_collectMoves) {
            std::vector<std::vector<std::uint8_t>> touched = std::move(m_movedRecords);
            touched.push_back(record);
            UpdateIndexes(removed, touched);
        }
    } catch (const std::exception&) {
        // A new record whose header or indexes could not be written is taken out of its block
        // again: a failed Post must not leave a record the caller believes was never added. The
        // indexes stay marked for the next write to repair.
        if (m_state == State::Insert && IsKeyed()) {
            try {
                std::size_t ci = 0;
                int pos = 0;
                if (LocateKey(record.data(), ci, pos)) {
                    RemoveRecord(ci, pos);
                    WriteHeader();
                }
            } catch (const std::exception&) {
                // The disk refuses even that; the record stays for the caller's take-back.
            }
        }
        RetryPrimaryIndex();
        m_loadedChainIndex = SIZE_MAX;
        throw;
    }
    m_state = State::Browse;
    m_pendingBlobs.clear();
    m_original.clear();
    m_loadedChainIndex = SIZE_MAX;
    PositionAt(m_chainIndex, m_record);
}

bool Table::LocateUnchanged(const std::vector<std::uint8_t>& seen, std::size_t& chainIndex, int& record)
{
    bool found = false;
    if (IsKeyed()) {
        found = LocateKey(seen.data(), chainIndex, record);
    } else {
        found = chainIndex < m_chain.size() && record < m_chain[chainIndex].count;
    }
    if (!found) {
        return false;
    }
    LoadBlock(chainIndex);
    return std::memcmp(m_block.data() + 6 + record * static_cast<std::size_t>(m_recordSize), seen.data(), seen.size())
        == 0;
}

void Table::Delete()
{
    CheckWritable();
    if (IsEditing()) {
        Cancel();
    }
    if (m_eof) {
        Fail("there is no current record to delete.");
    }
    RangeLock writeLock(m_fd, F_WRLCK);
    const std::vector<std::uint8_t> victim = m_current;
    ReloadIfChanged();
    RepairIndexes();
    m_indexesRepaired = false;
    m_movedRecords.clear();
    std::size_t ci = m_chainIndex;
    int pos = m_record;
    // As for a post: the memo and blob values to free are those of the record as this handle saw it.
    if (!LocateUnchanged(victim, ci, pos)) {
        Fail("the record was changed or deleted by another user.");
    }
    const std::size_t chainBefore = m_chain.size();
    MarkIndexesInProgress();
    RemoveRecord(ci, pos);
    if (m_version >= 5 && m_dataFile.HeaderSize() >= kExtendedHeader) {
        PutU16(m_header.data() + 0x70, static_cast<std::uint32_t>(GetU16(m_header.data() + 0x70) + 1));
    }
    try {
        WriteHeader();
        if (IsKeyed()) {
            RebuildPrimaryIndex();
        }
        if (m_collectMoves) {
            UpdateIndexes({ victim }, m_movedRecords);
        }
    } catch (const std::exception&) {
        // A record whose removal could not reach the header or the indexes is put back into its
        // block, as a failed Post takes its record out: a failed Delete must not leave a record
        // gone that the caller believes is still there. Its memo and blob values are still held.
        if (IsKeyed()) {
            try {
                InsertRecord(victim);
                WriteHeader();
            } catch (const std::exception&) {
                // The disk refuses even that; the record stays removed, as the caller can see.
            }
        }
        RetryPrimaryIndex();
        m_loadedChainIndex = SIZE_MAX;
        throw;
    }
    // Only a record that is gone for good gives up its memo and blob values. Should the memo file
    // refuse, they stay allocated and unused: the record is deleted all the same.
    try {
        for (const auto& field : m_fields) {
            if (field->IsBlob()) {
                m_memo.FreeBlob(*field, victim.data() + field->m_offset);
            }
        }
    } catch (const std::exception&) {
    }
    // Stay at the record that followed the deleted one.
    if (m_chain.size() < chainBefore && ci >= m_chain.size()) {
        PositionAt(m_chain.size(), 0);
    } else {
        PositionAt(ci, pos);
    }
}

void Table::Flush()
{
    if (!IsOpen()) {
        return;
    }
    if (IsEditing()) {
        Post();
    }
    if (m_writable && ::fsync(m_fd) != 0) {
        Fail("cannot flush the table to disk: " + SystemErrorText(errno));
    }
    m_memo.Sync();
    if (IsKeyed() && m_writable) {
        const std::string pxPath = PrimaryIndexPath();
        const int fd = ::open(pxPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            UniqueFd guard(fd);
            ::fsync(fd);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Creating and emptying

void Table::Create(const std::string& folder, const std::string& fileName, const std::vector<FieldDef>& fields,
                   int keyFieldCount)
{
    const std::string name = WithExtension(fileName);
    const std::string dbPathGuess = platform::JoinPath(folder, name);
    auto fail
        = [&](const std::string& what) { throw TableError("Cannot create table \"" + dbPathGuess + "\": " + what); };
    if (fields.empty() || fields.size() > 255) {
        fail("a table needs 1 to 255 fields.");
    }
    if (keyFieldCount < 0 || keyFieldCount > 16 || keyFieldCount > static_cast<int>(fields.size())) {
        fail("bad number of key fields.");
    }
    int recordSize = 0;
    int keySize = 0;
    bool hasBlob = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto& def = fields[i];
        if (def.name.empty() || def.name.size() > 25) {
            fail("field names need 1 to 25 characters (\"" + def.name + "\").");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (text::EqualsIgnoreCase(fields[j].name, def.name)) {
                fail("the field name \"" + def.name + "\" is used twice.");
            }
        }
        int sizeByte = 0;
        switch (def.type) {
        case FieldType::Alpha:
        case FieldType::Bytes:
            sizeByte = def.size;
            if (sizeByte < 1 || sizeByte > 255) {
                fail("field \"" + def.name + "\" needs a size of 1 to 255.");
            }
            break;
        case FieldType::Memo:
        case FieldType::Blob:
        case FieldType::FmtMemo:
        case FieldType::Ole:
        case FieldType::Graphic:
            if (def.size < (def.type == FieldType::Memo ? 1 : 0) || def.size > 240) {
                fail("field \"" + def.name + "\" needs a leader size of " + (def.type == FieldType::Memo ? "1" : "0")
                     + " to 240.");
            }
            sizeByte = def.size + 10;
            hasBlob = true;
            break;
        case FieldType::Bcd:
            if (def.size < 0 || def.size > 32) {
                fail("field \"" + def.name + "\" needs 0 to 32 decimals.");
            }
            sizeByte = def.size;
            break;
        case FieldType::Short:
            sizeByte = 2;
            break;
        case FieldType::Logical:
            sizeByte = 1;
            break;
        case FieldType::Currency:
        case FieldType::Number:
        case FieldType::Timestamp:
            sizeByte = 8;
            break;
        default:
            sizeByte = 4;
            break;
        }
        if (static_cast<int>(i) < keyFieldCount && (IsBlobType(def.type) || def.type == FieldType::Logical)) {
            fail("field \"" + def.name + "\" cannot be part of the key.");
        }
        const int width = FieldWidth(def.type, sizeByte);
        recordSize += width;
        if (static_cast<int>(i) < keyFieldCount) {
            keySize += width;
        }
    }
    // 2 KiB blocks as the product's engine uses by default; larger ones when fewer than four
    // records would fit, since a table holds at most 65535 blocks.
    int blockCode = 2;
    while (blockCode < 32 && ((blockCode * 1024 - 6) / recordSize < 4 || (keySize + 6) * 3 > blockCode * 1024)) {
        blockCode *= 2;
    }
    if (blockCode * 1024 - 6 < recordSize) {
        fail("the record is too long.");
    }
    // Blocks above 4 KiB need the level-7 header with its longer table name.
    const std::uint8_t version = blockCode > 4 ? 0x0C : 0x0B;
    const std::size_t nameLength = TableNameLength(version);

    const int n = static_cast<int>(fields.size());
    std::vector<std::uint8_t> header(kExtendedHeader, 0);
    std::uint8_t* h = header.data();
    std::size_t pos = kExtendedHeader;
    header.resize(pos + 6 * static_cast<std::size_t>(n) + 4 + nameLength);
    h = header.data();
    for (int i = 0; i < n; ++i) {
        const auto& def = fields[static_cast<std::size_t>(i)];
        h[pos + 2 * i] = InfoForType(def.type).code;
        int sizeByte = 0;
        switch (def.type) {
        case FieldType::Alpha:
        case FieldType::Bytes:
        case FieldType::Bcd:
            sizeByte = def.size;
            break;
        case FieldType::Memo:
        case FieldType::Blob:
        case FieldType::FmtMemo:
        case FieldType::Ole:
        case FieldType::Graphic:
            sizeByte = def.size + 10;
            break;
        case FieldType::Short:
            sizeByte = 2;
            break;
        case FieldType::Logical:
            sizeByte = 1;
            break;
        case FieldType::Currency:
        case FieldType::Number:
        case FieldType::Timestamp:
            sizeByte = 8;
            break;
        default:
            sizeByte = 4;
            break;
        }
        h[pos + 2 * i + 1] = static_cast<std::uint8_t>(sizeByte);
    }
    const std::size_t tableNameAt = pos + 6 * static_cast<std::size_t>(n) + 4;
    std::memcpy(h + tableNameAt, name.data(), std::min<std::size_t>(name.size(), nameLength - 1));
    for (const auto& def : fields) {
        header.insert(header.end(), def.name.begin(), def.name.end());
        header.push_back(0);
    }
    const std::size_t fieldNumbersAt = header.size();
    for (int i = 1; i <= n; ++i) {
        header.push_back(static_cast<std::uint8_t>(i));
        header.push_back(static_cast<std::uint8_t>(i >> 8));
    }
    const std::size_t sortOrderAt = header.size();
    for (char c : std::string("DBWINUS0")) {
        header.push_back(static_cast<std::uint8_t>(c));
    }
    header.push_back(0);
    const std::size_t used = header.size();
    const std::size_t headerSize = (used + 0x7FF) / 0x800 * 0x800;
    header.resize(headerSize, 0);
    h = header.data();
    PutU16(h + 0x00, static_cast<std::uint32_t>(recordSize));
    PutU16(h + 0x02, static_cast<std::uint32_t>(headerSize));
    h[0x04] = keyFieldCount > 0 ? 0 : 2;
    h[0x05] = static_cast<std::uint8_t>(blockCode);
    PutU16(h + 0x12, 3);
    PutU16(h + 0x21, static_cast<std::uint32_t>(n));
    PutU16(h + 0x23, static_cast<std::uint32_t>(keyFieldCount));
    PutU32(h + 0x25, 0xFF00FF00);
    h[0x29] = kSortOrderAscii;
    h[0x2D] = 2;
    h[0x2E] = 1;
    h[0x39] = version;
    h[0x3E] = 0x1F;
    h[0x3F] = 0x0F;
    PutU16(h + 0x51, static_cast<std::uint32_t>(used));
    h[0x56] = 0x20;
    PutU16(h + 0x58, 0x0100u | version);
    PutU16(h + 0x5A, 0x0100u | version);
    PutU16(h + 0x64, static_cast<std::uint32_t>(n + 1));
    PutU16(h + 0x66, static_cast<std::uint32_t>(fieldNumbersAt - 0x58));
    PutU16(h + 0x6A, 1252);
    h[0x6C] = 1;
    h[0x6D] = 1;
    PutU16(h + 0x6E, static_cast<std::uint32_t>(sortOrderAt - 0x58));
    PutU16(h + 0x70, 1);

    // Replace an existing family only while nobody has it open.
    const std::string existing = platform::ResolveNoCase(folder, name);
    platform::FileLock lock;
    if (platform::FileExists(existing)) {
        if (lock.Acquire(existing, platform::FileLock::Mode::Exclusive, false) != platform::FileLock::Outcome::Locked) {
            fail("the table is in use by another program.");
        }
    }
    RemoveFamily(folder, name);
    const std::string dbPath = platform::JoinPath(folder, name);
    {
        const int fd = ::open(dbPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            fail(SystemErrorText(errno));
        }
        UniqueFd guard(fd);
        WriteAll(fd, dbPath, 0, header.data(), header.size());
    }
    if (hasBlob) {
        const std::string mbPath = platform::JoinPath(folder, CompanionName(name, ".MB"));
        const int fd = ::open(mbPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            fail(SystemErrorText(errno));
        }
        UniqueFd guard(fd);
        const auto mb = NewMemoHeader();
        WriteAll(fd, mbPath, 0, mb.data(), mb.size());
    }
    if (keyFieldCount > 0) {
        // An empty primary index: header only, no blocks, root 1 at level 0.
        const std::string pxPath = platform::JoinPath(folder, CompanionName(name, ".PX"));
        IndexHeaderParams params;
        params.fileType = 1;
        params.blockSize = blockCode * 1024;
        params.keySize = keySize;
        params.keyFieldCount = keyFieldCount;
        params.fieldPairs = h + kExtendedHeader;
        params.tableBaseName = BaseName(name);
        params.sortOrder = kSortOrderAscii;
        params.version = version;
        params.tableCounter = 4;
        params.indexCounter = 2;
        const std::vector<std::uint8_t> px = NewIndexHeader(params);
        const int fd = ::open(pxPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            fail(SystemErrorText(errno));
        }
        UniqueFd guard(fd);
        WriteAll(fd, pxPath, 0, px.data(), px.size());
    }
}

void Table::EmptyTable(const std::string& folder, const std::string& fileName)
{
    Table table(folder, fileName);
    table.Open(OpenMode::Exclusive);
    table.CheckWritable();
    std::uint8_t* h = table.m_header.data();
    for (int offset : { 0x0A, 0x0C, 0x0E, 0x10, 0x3A, 0x4D }) {
        PutU16(h + offset, 0);
    }
    PutU32(h + 0x06, 0);
    table.ChainClear();
    table.m_recordCount = 0;
    table.m_fileBlocks = 0;
    // The header that counts no blocks is written before the blocks go: a process that dies in
    // between leaves blocks that nothing counts, never a header counting blocks that are gone.
    table.WriteHeader();
    if (table.IsKeyed()) {
        table.RebuildPrimaryIndex();
    }
    if (::ftruncate(table.m_fd, table.m_dataFile.HeaderSize()) != 0) {
        table.Fail("cannot empty the table: " + SystemErrorText(errno));
    }
    for (const auto& index : table.m_indexes) {
        if (index->IsMaintained()) {
            index->Rebuild();
        }
    }
    const std::string mbPath = Companion(folder, fileName, ".MB");
    if (platform::FileExists(mbPath)) {
        const int fd = ::open(mbPath.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            UniqueFd guard(fd);
            std::uint8_t head[kMemoUnit];
            ssize_t got = ::pread(fd, head, sizeof head, 0);
            if (got == kMemoUnit && head[0] == 0) {
                if (::ftruncate(fd, kMemoUnit) != 0) {
                    table.Fail("cannot empty the memo file: " + SystemErrorText(errno));
                }
            }
        }
    }
    table.Flush();
    table.Close();
}

} // namespace wh::paradox
