#include "support/paradox/Table.h"

#include "support/Errors.h"
#include "support/paradox/Encoding.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::paradox {

using namespace encoding;

namespace {

constexpr int kFixedHeader = 0x58;
constexpr int kExtendedHeader = 0x78;
constexpr int kMbUnit = 4096;
constexpr int kSmallBlobLimit = 2048;
constexpr int kSmallBlobFirstChunk = 0x150 / 16;
constexpr std::uint8_t kSortOrderAscii = 0x4C; // DBWINUS0: plain byte order, code page 1252
// A byte far beyond any table's data: writers hold a byte-range lock on it while they post, so
// that posts of several processes (or handles) never interleave. It is independent of the flock.
constexpr off_t kWriteLockOffset = 0x7FFFFFFF00LL;

struct TypeInfo
{
    FieldType type;
    std::uint8_t code;
    char letter;
};

constexpr TypeInfo kTypes[] = {
    { FieldType::Alpha, 0x01, 'A' },   { FieldType::Date, 0x02, 'D' },      { FieldType::Short, 0x03, 'S' },
    { FieldType::Long, 0x04, 'I' },    { FieldType::Currency, 0x05, '$' },  { FieldType::Number, 0x06, 'N' },
    { FieldType::Logical, 0x09, 'L' }, { FieldType::Memo, 0x0C, 'M' },      { FieldType::Blob, 0x0D, 'B' },
    { FieldType::FmtMemo, 0x0E, 'F' }, { FieldType::Ole, 0x0F, 'O' },       { FieldType::Graphic, 0x10, 'G' },
    { FieldType::Time, 0x14, 'T' },    { FieldType::Timestamp, 0x15, '@' }, { FieldType::AutoInc, 0x16, '+' },
    { FieldType::Bcd, 0x17, '#' },     { FieldType::Bytes, 0x18, 'Y' },
};

const TypeInfo* InfoForCode(std::uint8_t code)
{
    for (const auto& info : kTypes) {
        if (info.code == code) {
            return &info;
        }
    }
    return nullptr;
}

const TypeInfo& InfoForType(FieldType type)
{
    for (const auto& info : kTypes) {
        if (info.type == type) {
            return info;
        }
    }
    return kTypes[0];
}

bool IsBlobType(FieldType type)
{
    return type == FieldType::Memo || type == FieldType::Blob || type == FieldType::FmtMemo || type == FieldType::Ole
        || type == FieldType::Graphic;
}

// Bytes that a field of this type and size byte takes in a record; 0 when the pair is invalid.
int FieldWidth(FieldType type, int sizeByte)
{
    switch (type) {
    case FieldType::Alpha:
    case FieldType::Bytes:
        return sizeByte >= 1 ? sizeByte : 0;
    case FieldType::Date:
    case FieldType::Long:
    case FieldType::Time:
    case FieldType::AutoInc:
        return sizeByte == 4 ? 4 : 0;
    case FieldType::Short:
        return sizeByte == 2 ? 2 : 0;
    case FieldType::Currency:
    case FieldType::Number:
    case FieldType::Timestamp:
        return sizeByte == 8 ? 8 : 0;
    case FieldType::Logical:
        return sizeByte == 1 ? 1 : 0;
    case FieldType::Bcd:
        return sizeByte <= 32 ? 17 : 0;
    case FieldType::Memo:
    case FieldType::Blob:
    case FieldType::FmtMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return sizeByte >= 10 ? sizeByte : 0;
    }
    return 0;
}

std::string WithExtension(const std::string& fileName)
{
    const auto slash = fileName.find_last_of('/');
    const auto dot = fileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return fileName + ".DB";
    }
    return fileName;
}

std::string BaseName(const std::string& fileName)
{
    const std::string withExt = WithExtension(fileName);
    return withExt.substr(0, withExt.find_last_of('.'));
}

// The name of a companion file (".PX", ".MB"): new files take the letter case of the table's own
// extension, so "image.db" gets "image.px" and "Claims.DB" gets "Claims.PX".
std::string CompanionName(const std::string& fileName, const char* extension)
{
    const std::string withExt = WithExtension(fileName);
    const std::string ext = withExt.substr(withExt.find_last_of('.'));
    const bool lower = std::any_of(ext.begin(), ext.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    return BaseName(fileName) + (lower ? text::LowerCase(extension) : std::string(extension));
}

// A companion file of the family, resolved without regard to case.
std::string Companion(const std::string& folder, const std::string& fileName, const char* extension)
{
    return platform::ResolveNoCase(folder, CompanionName(fileName, extension));
}

// The family's secondary index files (NAME.Xnn, NAME.Ynn, NAME.XGn, NAME.YGn, any letter case),
// in name order.
std::vector<std::string> SecondaryIndexFiles(const std::string& folder, const std::string& fileName)
{
    std::vector<std::string> names;
    const std::string stem = text::UpperCase(BaseName(fileName)) + ".";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
    if (!dir) {
        return names;
    }
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        const std::string upper = text::UpperCase(name);
        if (upper.size() != stem.size() + 3 || upper.compare(0, stem.size(), stem) != 0) {
            continue;
        }
        const char kind = upper[stem.size()];
        const char first = upper[stem.size() + 1];
        const char second = upper[stem.size() + 2];
        if ((kind == 'X' || kind == 'Y') && (isHex(first) || first == 'G') && isHex(second)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class UniqueFd
{
public:
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~UniqueFd()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

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

void WriteAll(int fd, const std::string& path, std::uint64_t offset, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw TableError("Cannot write table file \"" + path + "\": " + SystemErrorText(errno));
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

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

std::vector<std::uint8_t> NewMemoHeader()
{
    std::vector<std::uint8_t> block(kMbUnit, 0);
    static constexpr std::uint8_t kStart[] = { 0x00, 0x01, 0x00, 0x01, 0x00, 0x82, 0x73, 0x02, 0x00, 0x29, 0x00,
                                               0x00, 0x10, 0x00, 0x10, 0x00, 0x10, 0x40, 0x00, 0x00, 0x08 };
    std::memcpy(block.data(), kStart, sizeof kStart);
    PutU16(block.data() + 0x29, 0x02A1);
    return block;
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

Table::~Table()
{
    Close();
}

void Table::Fail(const std::string& what) const
{
    throw TableError("Table \"" + (m_dbPath.empty() ? m_fileName : m_dbPath) + "\": " + what);
}

void Table::ReadAt(int fd, const std::string& path, std::uint64_t offset, void* data, std::size_t size) const
{
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw TableError("Cannot read table file \"" + path + "\": " + SystemErrorText(errno));
        }
        if (got == 0) {
            throw TableError("Table file \"" + path + "\" is damaged: it ends before offset "
                             + std::to_string(offset + size) + ".");
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
}

void Table::WriteAt(int fd, const std::string& path, std::uint64_t offset, const void* data, std::size_t size)
{
    WriteAll(fd, path, offset, data, size);
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
    const std::vector<std::string> indexes = SecondaryIndexFiles(m_folder, m_fileName);
    m_secondaryIndex = indexes.empty() ? std::string() : indexes.front();
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
    if (m_mbFd >= 0) {
        ::close(m_mbFd);
        m_mbFd = -1;
    }
    m_mbLastKnown = false;
    m_lock.Release();
    m_fd = -1;
    m_fields.clear();
    ChainClear();
    m_eof = true;
    m_loadedChainIndex = SIZE_MAX;
}

void Table::LoadHeader()
{
    struct stat info = {};
    if (::fstat(m_fd, &info) != 0) {
        Fail("cannot read the table: " + SystemErrorText(errno));
    }
    m_fileSize = static_cast<std::uint64_t>(info.st_size);
    if (m_fileSize < kFixedHeader) {
        Fail("the file is damaged (shorter than a table header).");
    }
    std::uint8_t fixed[kFixedHeader];
    ReadAt(m_fd, m_dbPath, 0, fixed, sizeof fixed);
    m_headerSize = GetU16(fixed + 0x02);
    if (m_headerSize < kFixedHeader || static_cast<std::uint64_t>(m_headerSize) > m_fileSize) {
        Fail("the file is damaged (bad header size).");
    }
    m_header.assign(static_cast<std::size_t>(m_headerSize), 0);
    ReadAt(m_fd, m_dbPath, 0, m_header.data(), m_header.size());
    const std::uint8_t* h = m_header.data();

    m_recordSize = GetU16(h + 0x00);
    m_fileType = h[0x04];
    const int blockCode = h[0x05];
    m_version = h[0x39];
    const int fieldCount = GetU16(h + 0x21);
    m_keyFields = GetU16(h + 0x23);
    m_sortOrder = h[0x29];
    m_fileBlocks = GetU16(h + 0x0C);
    if (m_fileType != 0 && m_fileType != 2) {
        Fail("the file is not a Paradox data table.");
    }
    if (blockCode < 1 || blockCode > 32) {
        Fail("the file is damaged (bad block size).");
    }
    m_blockSize = blockCode * 1024;
    if (m_recordSize < 1 || m_recordSize > m_blockSize - 6) {
        Fail("the file is damaged (bad record size).");
    }
    if (fieldCount < 1 || fieldCount > 1024 || m_keyFields > fieldCount || (m_fileType == 0) != (m_keyFields > 0)) {
        Fail("the file is damaged (bad field count).");
    }
    if (static_cast<std::uint64_t>(m_headerSize) + static_cast<std::uint64_t>(m_fileBlocks) * m_blockSize
        > m_fileSize) {
        Fail("the file is damaged (it is shorter than its blocks).");
    }
    const bool extended = m_version >= 5;
    const int start = extended ? kExtendedHeader : kFixedHeader;
    m_cryptKey = extended && m_headerSize >= kExtendedHeader ? GetU32(h + 0x5C) : GetU32(h + 0x25);
    if (GetU32(h + 0x25) == 0xFF00FF00 && !extended) {
        m_cryptKey = 0;
    }
    if (m_cryptKey != 0) {
        Fail("the table is protected by a password, which this program cannot open.");
    }
    m_codePage = extended && m_headerSize >= kExtendedHeader ? GetU16(h + 0x6A) : 437;

    // Variable part: type/size pairs, pointers, the table name, then the field names.
    const std::size_t nameLength = m_version >= 0x0C ? 261 : 79;
    std::size_t pos = static_cast<std::size_t>(start);
    auto need = [&](std::size_t bytes) {
        if (pos + bytes > m_header.size()) {
            Fail("the file is damaged (its header is cut short).");
        }
    };
    need(2 * static_cast<std::size_t>(fieldCount));
    struct RawField
    {
        const TypeInfo* info;
        int sizeByte;
    };
    std::vector<RawField> raw;
    for (int i = 0; i < fieldCount; ++i) {
        const TypeInfo* info = InfoForCode(h[pos]);
        if (info == nullptr) {
            Fail("the file has a field of unknown type " + std::to_string(h[pos]) + ".");
        }
        raw.push_back({ info, h[pos + 1] });
        pos += 2;
    }
    pos += 4 + 4 * static_cast<std::size_t>(fieldCount) + nameLength;
    need(0);
    std::vector<std::unique_ptr<Field>> fields;
    int offset = 0;
    int keySize = 0;
    for (int i = 0; i < fieldCount; ++i) {
        const char* begin = reinterpret_cast<const char*>(h + pos);
        const void* end = std::memchr(begin, 0, m_header.size() - pos);
        if (end == nullptr) {
            Fail("the file is damaged (a field name runs past the header).");
        }
        std::string name(begin, static_cast<const char*>(end));
        pos += name.size() + 1;
        const int width = FieldWidth(raw[i].info->type, raw[i].sizeByte);
        if (width == 0) {
            Fail("the file is damaged (field \"" + name + "\" has a bad size).");
        }
        const int size = IsBlobType(raw[i].info->type) ? raw[i].sizeByte - 10 : raw[i].sizeByte;
        fields.push_back(
            std::unique_ptr<Field>(new Field(this, i, std::move(name), raw[i].info->type, size, offset, width)));
        offset += width;
        if (i < m_keyFields) {
            keySize += width;
        }
    }
    if (offset != m_recordSize) {
        Fail("the file is damaged (its fields do not add up to the record size).");
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
    m_keySize = keySize;
    if (m_current.size() != static_cast<std::size_t>(m_recordSize)) {
        m_current.assign(static_cast<std::size_t>(m_recordSize), 0);
    }
    m_maxAutoInc = -1;
}

void Table::LoadChain()
{
    // The chain of blocks is the truth about the records. A post writes its blocks before the
    // header, so after a crash the header may lag behind: a block past the header's block count
    // (but inside the file) and a record count that differs are read as the chain says.
    ChainClear();
    m_loadedChainIndex = SIZE_MAX;
    const std::uint8_t* h = m_header.data();
    const std::uint64_t available
        = std::min<std::uint64_t>(0xFFFF, (m_fileSize - static_cast<std::uint64_t>(m_headerSize)) / m_blockSize);
    std::uint16_t block = GetU16(h + 0x0E);
    std::vector<bool> seen(static_cast<std::size_t>(available) + 1, false);
    const int capacity = (m_blockSize - 6) / m_recordSize;
    std::int64_t total = 0;
    std::vector<std::uint8_t> head(6 + static_cast<std::size_t>(m_keySize));
    while (block != 0) {
        if (block > available || seen[block]) {
            Fail("the file is damaged (broken block chain at block " + std::to_string(block) + ").");
        }
        seen[block] = true;
        ReadAt(m_fd, m_dbPath, BlockOffset(block), head.data(), head.size());
        const auto lastOffset = static_cast<std::int16_t>(GetU16(head.data() + 4));
        if (lastOffset < -m_recordSize || (lastOffset + m_recordSize) % m_recordSize != 0
            || (lastOffset + m_recordSize) / m_recordSize > capacity) {
            Fail("the file is damaged (bad record count in block " + std::to_string(block) + ").");
        }
        const int count = (lastOffset + m_recordSize) / m_recordSize;
        ChainInsert(m_chain.size(), { block, count }, head.data() + 6);
        total += count;
        m_fileBlocks = std::max(m_fileBlocks, block);
        block = GetU16(head.data());
    }
    m_recordCount = total;
    m_pxHeader.clear();
    m_pxBlocks.clear();
}

std::uint64_t Table::BlockOffset(std::uint16_t number) const
{
    return static_cast<std::uint64_t>(m_headerSize) + static_cast<std::uint64_t>(number - 1) * m_blockSize;
}

void Table::ReadBlockRaw(std::uint16_t number, std::vector<std::uint8_t>& block) const
{
    block.resize(static_cast<std::size_t>(m_blockSize));
    ReadAt(m_fd, m_dbPath, BlockOffset(number), block.data(), block.size());
}

void Table::WriteBlockRaw(std::uint16_t number, const std::vector<std::uint8_t>& block)
{
    WriteAt(m_fd, m_dbPath, BlockOffset(number), block.data(), block.size());
    m_fileSize = std::max<std::uint64_t>(m_fileSize, BlockOffset(number) + block.size());
    if (m_loadedChainIndex < m_chain.size() && m_chain[m_loadedChainIndex].number == number) {
        m_block = block;
    }
}

void Table::LoadBlock(std::size_t chainIndex)
{
    if (m_loadedChainIndex == chainIndex) {
        return;
    }
    ReadBlockRaw(m_chain[chainIndex].number, m_block);
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
    return std::memcmp(a, b, static_cast<std::size_t>(m_keySize));
}

bool Table::LocateKey(const std::uint8_t* key, std::size_t& chainIndex, int& record)
{
    // The last block whose first key is not above the key, then a search inside it.
    std::size_t target = 0;
    std::size_t low = 0;
    std::size_t high = m_chain.size();
    const bool anyEmpty = std::any_of(m_chain.begin(), m_chain.end(), [](const BlockRef& b) { return b.count == 0; });
    auto notAbove = [&](std::size_t index) {
        return std::memcmp(FirstKey(index), key, static_cast<std::size_t>(m_keySize)) <= 0;
    };
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
// Memo and blob values

void Table::OpenMemoFile(bool forWrite) const
{
    if (m_mbFd >= 0 && (m_mbWritable || !forWrite)) {
        return;
    }
    if (m_mbFd >= 0) {
        ::close(m_mbFd);
        m_mbFd = -1;
    }
    m_mbPath = Companion(m_folder, m_fileName, ".MB");
    if (!platform::FileExists(m_mbPath)) {
        if (!forWrite) {
            throw TableError("The memo file \"" + m_mbPath + "\" of table \"" + m_dbPath + "\" is missing.");
        }
        const int fd = ::open(m_mbPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            throw TableError("Cannot create the memo file \"" + m_mbPath + "\": " + SystemErrorText(errno));
        }
        UniqueFd guard(fd);
        const auto header = NewMemoHeader();
        WriteAll(fd, m_mbPath, 0, header.data(), header.size());
    }
    int fd = ::open(m_mbPath.c_str(), (forWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0 && !forWrite) {
        fd = ::open(m_mbPath.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        throw TableError("Cannot open the memo file \"" + m_mbPath + "\": " + SystemErrorText(errno));
    }
    m_mbFd = fd;
    m_mbWritable = forWrite;
}

std::string Table::ReadBlob(const Field& field, const std::uint8_t* raw) const
{
    const int leader = field.m_width - 10;
    const std::uint32_t locator = GetU32(raw + leader);
    const std::uint32_t length = GetU32(raw + leader + 4);
    if (length == 0) {
        return {};
    }
    if (locator == 0) {
        if (length > static_cast<std::uint32_t>(leader)) {
            Fail("field \"" + field.Name() + "\" is damaged (its value is longer than the record holds).");
        }
        return std::string(reinterpret_cast<const char*>(raw), length);
    }
    OpenMemoFile(false);
    struct stat info = {};
    if (::fstat(m_mbFd, &info) != 0) {
        throw TableError("Cannot read the memo file \"" + m_mbPath + "\": " + SystemErrorText(errno));
    }
    const auto mbSize = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t blockOffset = locator & 0xFFFFFF00u;
    const unsigned index = locator & 0xFF;
    auto damaged = [&]() {
        throw TableError("The memo file \"" + m_mbPath + "\" is damaged (bad value of field \"" + field.Name()
                         + "\" in table \"" + m_dbPath + "\").");
    };
    if (blockOffset == 0 || blockOffset + kMbUnit > mbSize) {
        damaged();
    }
    std::uint8_t head[12 + 64 * 5];
    ReadAt(m_mbFd, m_mbPath, blockOffset, head, sizeof head);
    std::uint64_t dataOffset = 0;
    if (index == 0xFF) {
        const std::uint64_t units = GetU16(head + 1);
        if (head[0] != 2 || GetU32(head + 3) != length || units == 0 || blockOffset + units * kMbUnit > mbSize
            || 9 + static_cast<std::uint64_t>(length) > units * kMbUnit) {
            damaged();
        }
        dataOffset = blockOffset + 9;
    } else {
        if (head[0] != 3 || index >= 64) {
            damaged();
        }
        const std::uint8_t* slot = head + 12 + 5 * index;
        const unsigned chunks = slot[1];
        const unsigned last = slot[4];
        if (slot[0] == 0 || chunks == 0 || last == 0 || last > 16 || (chunks - 1) * 16 + last != length
            || static_cast<std::uint64_t>(slot[0]) * 16 + length > kMbUnit) {
            damaged();
        }
        dataOffset = blockOffset + static_cast<std::uint64_t>(slot[0]) * 16;
    }
    std::string value(length, '\0');
    ReadAt(m_mbFd, m_mbPath, dataOffset, value.data(), value.size());
    return value;
}

void Table::WriteBlob(const Field& field, std::uint8_t* raw, const std::string& value)
{
    const int leader = field.m_width - 10;
    std::memset(raw, 0, static_cast<std::size_t>(field.m_width));
    if (value.empty()) {
        return;
    }
    const bool graphic = field.m_type == FieldType::Graphic;
    if (!graphic && value.size() <= static_cast<std::size_t>(leader)) {
        std::memcpy(raw, value.data(), value.size());
        PutU32(raw + leader + 4, static_cast<std::uint32_t>(value.size()));
        return;
    }
    if (value.size() > 65535ULL * kMbUnit - 9) {
        Fail("the value of field \"" + field.Name() + "\" is too large.");
    }
    OpenMemoFile(true);
    std::uint8_t counterBytes[2];
    ReadAt(m_mbFd, m_mbPath, 3, counterBytes, 2);
    std::uint16_t modification = static_cast<std::uint16_t>(GetU16(counterBytes) + 1);
    if (modification == 0) {
        modification = 1;
    }
    struct stat info = {};
    if (::fstat(m_mbFd, &info) != 0) {
        throw TableError("Cannot write the memo file \"" + m_mbPath + "\": " + SystemErrorText(errno));
    }
    std::uint64_t end = (static_cast<std::uint64_t>(info.st_size) + kMbUnit - 1) / kMbUnit * kMbUnit;
    if (end == 0) {
        const auto header = NewMemoHeader();
        WriteAll(m_mbFd, m_mbPath, 0, header.data(), header.size());
        end = kMbUnit;
    }
    std::uint32_t locator = 0;
    if (value.size() <= static_cast<std::size_t>(kSmallBlobLimit)) {
        // A slot of a sub-allocated block: the last such block of the file when it has room.
        const unsigned chunks = static_cast<unsigned>((value.size() + 15) / 16);
        std::vector<std::uint8_t> block(kMbUnit, 0);
        std::uint64_t blockOffset = end;
        int slot = -1;
        unsigned dataChunk = kSmallBlobFirstChunk;
        // Only a real block start counts: a 4 KiB unit inside a large value may look like one.
        if (end >= 2 * kMbUnit && LastMemoBlock(end, GetU16(counterBytes)) == end - kMbUnit) {
            std::vector<std::uint8_t> lastBlock(kMbUnit);
            ReadAt(m_mbFd, m_mbPath, end - kMbUnit, lastBlock.data(), lastBlock.size());
            if (lastBlock[0] == 3 && GetU16(lastBlock.data() + 1) == 1) {
                unsigned used = kSmallBlobFirstChunk;
                int freeSlot = -1;
                for (int i = 63; i >= 0; --i) {
                    const std::uint8_t* s = lastBlock.data() + 12 + 5 * i;
                    if (s[0] == 0) {
                        if (freeSlot < 0) {
                            freeSlot = i;
                        }
                    } else {
                        used = std::max(used, static_cast<unsigned>(s[0]) + s[1]);
                    }
                }
                if (freeSlot >= 0 && used + chunks <= kMbUnit / 16) {
                    block = std::move(lastBlock);
                    blockOffset = end - kMbUnit;
                    slot = freeSlot;
                    dataChunk = used;
                }
            }
        }
        if (slot < 0) {
            block[0] = 3;
            PutU16(block.data() + 1, 1);
            slot = 63;
        }
        std::uint8_t* s = block.data() + 12 + 5 * slot;
        s[0] = static_cast<std::uint8_t>(dataChunk);
        s[1] = static_cast<std::uint8_t>(chunks);
        PutU16(s + 2, modification);
        s[4] = static_cast<std::uint8_t>(value.size() - (chunks - 1) * 16);
        std::memcpy(block.data() + dataChunk * 16, value.data(), value.size());
        WriteAll(m_mbFd, m_mbPath, blockOffset, block.data(), block.size());
        locator = static_cast<std::uint32_t>(blockOffset) | static_cast<std::uint32_t>(slot);
        m_mbLastBlock = blockOffset;
    } else {
        const std::uint64_t units = (9 + value.size() + kMbUnit - 1) / kMbUnit;
        std::vector<std::uint8_t> block(units * kMbUnit, 0);
        block[0] = 2;
        PutU16(block.data() + 1, static_cast<std::uint32_t>(units));
        PutU32(block.data() + 3, static_cast<std::uint32_t>(value.size()));
        PutU16(block.data() + 7, modification);
        std::memcpy(block.data() + 9, value.data(), value.size());
        if (end > 0xFFFFFF00ULL - block.size()) {
            Fail("the memo file is full.");
        }
        WriteAll(m_mbFd, m_mbPath, end, block.data(), block.size());
        locator = static_cast<std::uint32_t>(end) | 0xFF;
        m_mbLastBlock = end;
    }
    PutU16(counterBytes, modification);
    WriteAll(m_mbFd, m_mbPath, 3, counterBytes, 2);
    m_mbLastKnown = true;
    m_mbLastCounter = modification;

    // The leader keeps the value's start; a graphic's leader skips its 8-byte prefix.
    const std::size_t skip = graphic && value.size() > 8 ? 8 : 0;
    const std::size_t copy = std::min(static_cast<std::size_t>(leader), value.size() - skip);
    std::memcpy(raw, value.data() + skip, copy);
    PutU32(raw + leader, locator);
    PutU32(raw + leader + 4, static_cast<std::uint32_t>(value.size()));
    PutU16(raw + leader + 8, modification);
}

std::uint64_t Table::LastMemoBlock(std::uint64_t end, std::uint16_t counter)
{
    // Blocks are not chained: the last one is found by stepping over whole blocks from the header
    // or from the last block this handle saw, when no other writer has written a value since.
    std::uint64_t at = m_mbLastKnown && m_mbLastCounter == counter && m_mbLastBlock < end ? m_mbLastBlock : 0;
    std::uint64_t last = at;
    while (at < end) {
        std::uint8_t head[3];
        ReadAt(m_mbFd, m_mbPath, at, head, sizeof head);
        const std::uint16_t units = GetU16(head + 1);
        if (units == 0 || head[0] > 4 || (at == 0 && head[0] != 0)) {
            m_mbLastKnown = false;
            return UINT64_MAX; // a layout this program does not know: nothing is reused
        }
        last = at;
        at += static_cast<std::uint64_t>(units) * kMbUnit;
    }
    m_mbLastKnown = true;
    m_mbLastBlock = last;
    m_mbLastCounter = counter;
    return last;
}

void Table::FreeBlob(const Field& field, const std::uint8_t* raw)
{
    const int leader = field.m_width - 10;
    const std::uint32_t locator = GetU32(raw + leader);
    if (locator == 0 || GetU32(raw + leader + 4) == 0) {
        return;
    }
    try {
        OpenMemoFile(true);
        const std::uint64_t blockOffset = locator & 0xFFFFFF00u;
        const unsigned index = locator & 0xFF;
        std::vector<std::uint8_t> head(12 + 64 * 5);
        ReadAt(m_mbFd, m_mbPath, blockOffset, head.data(), head.size());
        if (index == 0xFF && head[0] == 2) {
            const std::uint8_t freeType = 4;
            WriteAll(m_mbFd, m_mbPath, blockOffset, &freeType, 1);
        } else if (index < 64 && head[0] == 3) {
            std::memset(head.data() + 12 + 5 * index, 0, 5);
            bool anyUsed = false;
            for (int i = 0; i < 64; ++i) {
                anyUsed = anyUsed || head[12 + 5 * i] != 0;
            }
            if (!anyUsed) {
                head[0] = 4;
            }
            WriteAll(m_mbFd, m_mbPath, blockOffset, head.data(), head.size());
        }
    } catch (const TableError&) {
        // The old value is unreachable already; a damaged block only leaks its space.
    }
}

// ---------------------------------------------------------------------------------------------
// Editing

void Table::CheckWritable() const
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    if (!m_writable) {
        Fail("the table is read-only.");
    }
    if (m_version < 5 && IsKeyed()) {
        Fail("tables of this old format can only be read.");
    }
    // A write would leave the index out of date, and the adjusting product then refuses to open
    // the table at all: better no write than a table the product cannot use.
    if (!m_secondaryIndex.empty()) {
        Fail("it has the secondary index " + m_secondaryIndex
             + ", which this program cannot keep up to date yet; the table can only be read.");
    }
    if (IsKeyed() && m_sortOrder != 0x00 && m_sortOrder != kSortOrderAscii) {
        for (int i = 0; i < m_keyFields; ++i) {
            if (m_fields[static_cast<std::size_t>(i)]->Type() == FieldType::Alpha) {
                Fail("the table's alpha key uses a sort order that this program cannot keep; it can only be read.");
            }
        }
    }
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
    std::vector<std::uint8_t> onDisk(static_cast<std::size_t>(std::min(m_headerSize, kExtendedHeader)));
    struct stat info = {};
    ::fstat(m_fd, &info);
    ReadAt(m_fd, m_dbPath, 0, onDisk.data(), onDisk.size());
    const bool same = m_version >= 5 && static_cast<std::uint64_t>(info.st_size) == m_fileSize
        && std::equal(onDisk.begin(), onDisk.end(), m_header.begin());
    if (!same) {
        LoadHeader();
        LoadChain();
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
                ReadBlockRaw(ref.number, block);
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
        ReadAt(m_fd, m_dbPath, BlockOffset(number), head, 2);
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
    std::vector<std::uint8_t> block(static_cast<std::size_t>(m_blockSize), 0);
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

void Table::ChainInsert(std::size_t chainIndex, BlockRef ref, const std::uint8_t* firstKey)
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
    const int capacity = (m_blockSize - 6) / m_recordSize;
    std::vector<std::uint8_t> block;
    std::size_t ci = 0;
    int pos = 0;
    if (m_chain.empty()) {
        const std::uint16_t number = AllocateBlock();
        block.assign(static_cast<std::size_t>(m_blockSize), 0);
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
        ReadBlockRaw(m_chain[ci].number, block);
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
            std::vector<std::uint8_t> other(static_cast<std::size_t>(m_blockSize), 0);
            const bool atEnd = ci + 1 == m_chain.size() && pos == count;
            int keep = atEnd ? count : count / 2;
            const bool toRight = pos > keep || atEnd;
            if (toRight && count - keep + 1 > capacity) {
                // A block of one record: the new one after it gets the new block to itself.
                keep = count;
            }
            const int moved = count - keep;
            std::memcpy(other.data() + 6, block.data() + 6 + keep * rs, moved * rs);
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
                WriteAt(m_fd, m_dbPath, BlockOffset(next) + 2, prevLink, 2);
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
    ReadBlockRaw(m_chain[ci].number, block);
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
        if (::ftruncate(m_fd, m_headerSize) != 0) {
            Fail("cannot shrink the table: " + SystemErrorText(errno));
        }
        m_fileSize = static_cast<std::uint64_t>(m_headerSize);
    } else if (ci == 0) {
        // The first block stays first: it takes over the records of the next block.
        std::vector<std::uint8_t> second;
        ReadBlockRaw(next, second);
        const std::uint16_t afterNext = GetU16(second.data());
        const int moved = m_chain[1].count;
        std::memset(block.data() + 6, 0, block.size() - 6);
        std::memcpy(block.data() + 6, second.data() + 6, moved * rs);
        SetBlockLinks(block, afterNext, prev, moved, m_recordSize);
        m_chain[0].count = moved;
        SetFirstKey(0, block);
        WriteBlockRaw(number, block);
        if (afterNext != 0) {
            std::uint8_t link[2];
            PutU16(link, number);
            WriteAt(m_fd, m_dbPath, BlockOffset(afterNext) + 2, link, 2);
        } else {
            PutU16(h + 0x10, number);
        }
        ReleaseBlock(1);
    } else {
        std::uint8_t link[2];
        PutU16(link, next);
        WriteAt(m_fd, m_dbPath, BlockOffset(prev), link, 2);
        if (next != 0) {
            PutU16(link, prev);
            WriteAt(m_fd, m_dbPath, BlockOffset(next) + 2, link, 2);
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
    if (m_version >= 5 && m_headerSize >= kExtendedHeader) {
        // The engine's edit counter: other openers see from it that the table changed.
        PutU16(h + 0x74, static_cast<std::uint32_t>(GetU16(h + 0x74) + 1));
    }
    if (IsKeyed()) {
        // The primary index is rewritten with every change; its counter moves in step.
        int counter = h[0x2D] + 1;
        if (counter > 255) {
            counter = 2;
        }
        h[0x2D] = static_cast<std::uint8_t>(counter);
    }
    WriteAt(m_fd, m_dbPath, 0, h, static_cast<std::size_t>(std::min(m_headerSize, kExtendedHeader)));
}

void Table::RebuildPrimaryIndex()
{
    const std::string pxPath = Companion(m_folder, m_fileName, ".PX");
    const int fd = ::open(pxPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        Fail("cannot write the primary index \"" + pxPath + "\": " + SystemErrorText(errno));
    }
    UniqueFd guard(fd);
    const std::size_t nameLength = m_version >= 0x0C ? 261 : 79;
    if (m_pxHeader.empty()) {
        // Keep the index's own header (its counters and unknown bytes) when it fits this table.
        std::vector<std::uint8_t> header(0x800, 0);
        struct stat info = {};
        bool reuse = false;
        if (::fstat(fd, &info) == 0 && info.st_size >= 0x800) {
            ReadAt(fd, pxPath, 0, header.data(), header.size());
            reuse = GetU16(header.data() + 0x02) == 0x800 && header[0x04] == 1
                && GetU16(header.data() + 0x21) == m_keyFields && header[0x05] >= 1 && header[0x05] <= 32;
        }
        std::uint8_t* p = header.data();
        if (!reuse) {
            std::fill(header.begin(), header.end(), 0);
            PutU16(p + 0x02, 0x800);
            p[0x04] = 1;
            p[0x05] = static_cast<std::uint8_t>(m_blockSize / 1024);
            PutU16(p + 0x12, static_cast<std::uint32_t>(GetU16(m_header.data() + 0x12) + 1));
            PutU16(p + 0x21, static_cast<std::uint32_t>(m_keyFields));
            p[0x29] = static_cast<std::uint8_t>(m_sortOrder);
            p[0x2C] = static_cast<std::uint8_t>(m_header[0x2D] - 1);
            p[0x2D] = 2;
            p[0x2E] = 1;
            p[0x39] = static_cast<std::uint8_t>(m_version);
            std::memcpy(p + 0x58, m_header.data() + kExtendedHeader, 2 * static_cast<std::size_t>(m_keyFields));
            const std::string base = BaseName(m_fileName);
            std::memcpy(p + 0x58 + 2 * m_keyFields + 4, base.data(), std::min(base.size(), nameLength - 1));
            PutU16(p + 0x51, static_cast<std::uint32_t>(kFixedHeader + 2 * m_keyFields + 4 + nameLength));
        }
        PutU16(p, static_cast<std::uint32_t>(m_keySize + 6));
        m_pxHeader = std::move(header);
        m_pxBlocks.clear();
        const auto size = ::lseek(fd, 0, SEEK_END);
        if (size > 0x800) {
            m_pxBlocks.resize(static_cast<std::size_t>(size - 0x800));
            ReadAt(fd, pxPath, 0x800, m_pxBlocks.data(), m_pxBlocks.size());
        }
    }
    std::uint8_t* p = m_pxHeader.data();
    // The index counter follows the table's by the distance the two had before.
    p[0x2C] = static_cast<std::uint8_t>(p[0x2C] + 1);

    const std::size_t blockSize = static_cast<std::size_t>(p[0x05]) * 1024;
    const std::size_t keySize = static_cast<std::size_t>(m_keySize);
    const std::size_t entrySize = keySize + 6;
    const std::size_t perBlock = (blockSize - 6) / entrySize;
    if (perBlock < 2) {
        Fail("the key is too long for the primary index.");
    }
    struct Entry
    {
        const std::uint8_t* key;
        std::uint16_t block;
        std::int64_t count;
    };
    std::vector<std::vector<Entry>> levels(1);
    for (const auto& ref : m_chain) {
        if (ref.count > 0) {
            levels[0].push_back({ FirstKey(static_cast<std::size_t>(&ref - m_chain.data())), ref.number, ref.count });
        }
    }
    // Blocks per level, from the leaves up to a single root; the root is numbered 1 and each
    // lower level follows it.
    std::vector<std::size_t> blocksPerLevel;
    for (std::size_t entriesAtLevel = levels[0].size();;) {
        const std::size_t blocks = (entriesAtLevel + perBlock - 1) / perBlock;
        blocksPerLevel.push_back(blocks);
        if (blocks <= 1) {
            break;
        }
        entriesAtLevel = blocks;
    }
    levels.resize(blocksPerLevel.size());
    std::vector<std::size_t> firstNumber(levels.size());
    std::size_t nextNumber = 1;
    for (std::size_t l = levels.size(); l > 0; --l) {
        firstNumber[l - 1] = nextNumber;
        nextNumber += blocksPerLevel[l - 1];
    }
    const std::size_t totalBlocks = levels[0].empty() ? 0 : nextNumber - 1;
    if (totalBlocks > 0xFFFF) {
        Fail("the primary index is too large.");
    }
    for (std::size_t l = 0; l + 1 < levels.size(); ++l) {
        for (std::size_t b = 0; b < blocksPerLevel[l]; ++b) {
            const std::size_t begin = b * perBlock;
            const std::size_t end = std::min(levels[l].size(), begin + perBlock);
            std::int64_t sum = 0;
            for (std::size_t i = begin; i < end; ++i) {
                sum += levels[l][i].count;
            }
            levels[l + 1].push_back({ levels[l][begin].key, static_cast<std::uint16_t>(firstNumber[l] + b), sum });
        }
    }
    std::vector<std::uint8_t> data(totalBlocks * blockSize, 0);
    std::int64_t entries = 0;
    for (std::size_t l = 0; totalBlocks > 0 && l < levels.size(); ++l) {
        const auto& level = levels[l];
        for (std::size_t b = 0; b < blocksPerLevel[l]; ++b) {
            const std::size_t number = firstNumber[l] + b;
            std::uint8_t* block = data.data() + (number - 1) * blockSize;
            const std::size_t begin = b * perBlock;
            const std::size_t end = std::min(level.size(), begin + perBlock);
            PutU16(block, static_cast<std::uint32_t>(b + 1 < blocksPerLevel[l] ? number + 1 : 0));
            PutU16(block + 2, static_cast<std::uint32_t>(b > 0 ? number - 1 : 0));
            PutU16(block + 4,
                   static_cast<std::uint16_t>((static_cast<int>(end - begin) - 1) * static_cast<int>(entrySize)));
            for (std::size_t i = begin; i < end; ++i) {
                std::uint8_t* e = block + 6 + (i - begin) * entrySize;
                std::memcpy(e, level[i].key, keySize);
                EncodeInteger(e + keySize, 2, level[i].block);
                EncodeInteger(e + keySize + 2, 2, std::min<std::int64_t>(level[i].count, 32767));
                EncodeInteger(e + keySize + 4, 2, 0);
                ++entries;
            }
        }
    }
    PutU32(p + 0x06, static_cast<std::uint32_t>(entries));
    PutU16(p + 0x0A, static_cast<std::uint32_t>(totalBlocks));
    PutU16(p + 0x0C, static_cast<std::uint32_t>(totalBlocks));
    PutU16(p + 0x0E, totalBlocks > 0 ? 1 : 0);
    PutU16(p + 0x10, static_cast<std::uint32_t>(totalBlocks > 0 ? firstNumber[0] + blocksPerLevel[0] - 1 : 0));
    PutU16(p + 0x1E, 1);
    p[0x20] = static_cast<std::uint8_t>(totalBlocks > 0 ? levels.size() : 0);
    PutU16(p + 0x3A, static_cast<std::uint32_t>(totalBlocks));
    // Only the blocks that differ from the index as last written go to disk.
    for (std::size_t b = 0; b < totalBlocks; ++b) {
        const std::size_t offset = b * blockSize;
        if (offset + blockSize <= m_pxBlocks.size()
            && std::memcmp(m_pxBlocks.data() + offset, data.data() + offset, blockSize) == 0) {
            continue;
        }
        WriteAll(fd, pxPath, 0x800 + offset, data.data() + offset, blockSize);
    }
    if (data.size() != m_pxBlocks.size() && ::ftruncate(fd, static_cast<off_t>(0x800 + data.size())) != 0) {
        Fail("cannot write the primary index \"" + pxPath + "\": " + SystemErrorText(errno));
    }
    WriteAll(fd, pxPath, 0, m_pxHeader.data(), m_pxHeader.size());
    m_pxBlocks = std::move(data);
}

void Table::Post()
{
    if (!IsEditing()) {
        return;
    }
    CheckWritable();
    RangeLock writeLock(m_fd, F_WRLCK);
    ReloadIfChanged();
    std::vector<std::uint8_t> record = m_current;
    // New memo and blob values go to the .MB before the record points at them.
    for (const auto& [index, value] : m_pendingBlobs) {
        const Field& field = *m_fields[static_cast<std::size_t>(index)];
        WriteBlob(field, record.data() + field.m_offset, value);
    }
    if (m_state == State::Insert) {
        AssignAutoInc(record);
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
        if (IsKeyed() && CompareKeys(record.data(), m_original.data()) != 0) {
            // A new key: insert first, then remove the old record, so a crash in between keeps both.
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
            std::vector<std::uint8_t> block;
            ReadBlockRaw(m_chain[ci].number, block);
            std::memcpy(block.data() + 6 + pos * static_cast<std::size_t>(m_recordSize), record.data(), record.size());
            WriteBlockRaw(m_chain[ci].number, block);
            m_chainIndex = ci;
            m_record = pos;
        }
        for (const auto& [index, value] : m_pendingBlobs) {
            const Field& field = *m_fields[static_cast<std::size_t>(index)];
            FreeBlob(field, m_original.data() + field.m_offset);
        }
    }
    WriteHeader();
    if (IsKeyed()) {
        RebuildPrimaryIndex();
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
    std::size_t ci = m_chainIndex;
    int pos = m_record;
    // As for a post: the memo and blob values to free are those of the record as this handle saw it.
    if (!LocateUnchanged(victim, ci, pos)) {
        Fail("the record was changed or deleted by another user.");
    }
    const std::size_t chainBefore = m_chain.size();
    RemoveRecord(ci, pos);
    for (const auto& field : m_fields) {
        if (field->IsBlob()) {
            FreeBlob(*field, victim.data() + field->m_offset);
        }
    }
    if (m_version >= 5 && m_headerSize >= kExtendedHeader) {
        PutU16(m_header.data() + 0x70, static_cast<std::uint32_t>(GetU16(m_header.data() + 0x70) + 1));
    }
    WriteHeader();
    if (IsKeyed()) {
        RebuildPrimaryIndex();
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
    if (m_mbFd >= 0 && m_mbWritable) {
        ::fsync(m_mbFd);
    }
    if (IsKeyed() && m_writable) {
        const std::string pxPath = Companion(m_folder, m_fileName, ".PX");
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
    const std::size_t nameLength = version >= 0x0C ? 261 : 79;

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
        std::vector<std::uint8_t> px(0x800, 0);
        std::uint8_t* p = px.data();
        PutU16(p + 0x00, static_cast<std::uint32_t>(keySize + 6));
        PutU16(p + 0x02, 0x800);
        p[0x04] = 1;
        p[0x05] = static_cast<std::uint8_t>(blockCode);
        PutU16(p + 0x12, 4);
        PutU16(p + 0x1E, 1);
        PutU16(p + 0x21, static_cast<std::uint32_t>(keyFieldCount));
        p[0x29] = kSortOrderAscii;
        p[0x2C] = 2;
        p[0x2D] = 2;
        p[0x2E] = 1;
        p[0x39] = version;
        std::memcpy(p + 0x58, h + kExtendedHeader, 2 * static_cast<std::size_t>(keyFieldCount));
        const std::string base = BaseName(name);
        std::memcpy(p + 0x58 + 2 * keyFieldCount + 4, base.data(), std::min(base.size(), nameLength - 1));
        PutU16(p + 0x51, static_cast<std::uint32_t>(0x58 + 2 * keyFieldCount + 4 + nameLength));
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
    if (::ftruncate(table.m_fd, table.m_headerSize) != 0) {
        table.Fail("cannot empty the table: " + SystemErrorText(errno));
    }
    const std::string mbPath = Companion(folder, fileName, ".MB");
    if (platform::FileExists(mbPath)) {
        const int fd = ::open(mbPath.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            UniqueFd guard(fd);
            std::uint8_t head[kMbUnit];
            ssize_t got = ::pread(fd, head, sizeof head, 0);
            if (got == kMbUnit && head[0] == 0) {
                if (::ftruncate(fd, kMbUnit) != 0) {
                    table.Fail("cannot empty the memo file: " + SystemErrorText(errno));
                }
            }
        }
    }
    table.Flush();
    table.Close();
}

} // namespace wh::paradox
