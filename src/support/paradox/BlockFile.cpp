#include "support/paradox/BlockFile.h"

#include "support/Errors.h"
#include "support/paradox/Encoding.h"
#include "support/paradox/FormatDetail.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::paradox {

using namespace encoding;
using namespace detail;

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what)
{
    throw TableError("Table \"" + path + "\": " + what);
}

// The header size that the fixed part gives, checked against the `available` bytes of the file.
int CheckedHeaderSize(const std::uint8_t* fixed, std::uint64_t available, const std::string& path)
{
    const int headerSize = GetU16(fixed + 0x02);
    if (headerSize < kFixedHeader || static_cast<std::uint64_t>(headerSize) > available) {
        Fail(path, "the file is damaged (bad header size).");
    }
    return headerSize;
}

} // namespace

void ReadAt(int fd, const std::string& path, std::uint64_t offset, void* data, std::size_t size)
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

BlockFileHeader ReadBlockFileHeader(int fd, const std::string& path)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        Fail(path, "cannot read the table: " + SystemErrorText(errno));
    }
    const auto fileSize = static_cast<std::uint64_t>(info.st_size);
    if (fileSize < kFixedHeader) {
        Fail(path, "the file is damaged (shorter than a table header).");
    }
    std::uint8_t fixed[kFixedHeader];
    ReadAt(fd, path, 0, fixed, sizeof fixed);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(CheckedHeaderSize(fixed, fileSize, path)), 0);
    ReadAt(fd, path, 0, bytes.data(), bytes.size());
    return DecodeFixedHeader(std::move(bytes), fileSize, path);
}

BlockFileHeader DecodeFixedHeader(std::vector<std::uint8_t> bytes, std::uint64_t fileSize, const std::string& path)
{
    if (bytes.size() < kFixedHeader || fileSize < kFixedHeader) {
        Fail(path, "the file is damaged (shorter than a table header).");
    }
    BlockFileHeader header;
    header.fileSize = fileSize;
    header.headerSize = CheckedHeaderSize(bytes.data(), std::min<std::uint64_t>(fileSize, bytes.size()), path);
    bytes.resize(static_cast<std::size_t>(header.headerSize));
    header.bytes = std::move(bytes);
    const std::uint8_t* h = header.bytes.data();
    header.recordSize = GetU16(h + 0x00);
    header.fileType = h[0x04];
    header.blockSizeCode = h[0x05];
    header.recordCount = GetU32(h + 0x06);
    header.usedBlocks = GetU16(h + 0x0A);
    header.fileBlocks = GetU16(h + 0x0C);
    header.firstBlock = GetU16(h + 0x0E);
    header.lastBlock = GetU16(h + 0x10);
    header.fieldCount = GetU16(h + 0x21);
    header.keyFieldCount = GetU16(h + 0x23);
    header.sortOrder = h[0x29];
    header.version = h[0x39];
    return header;
}

void ParseBlockFileLayout(BlockFileHeader& header, const std::string& path)
{
    const std::uint8_t* h = header.bytes.data();
    const int blockCode = header.blockSizeCode;
    const int fieldCount = header.fieldCount;
    const bool dataTable = header.fileType == 0 || header.fileType == 2;
    if (blockCode < 1 || blockCode > 32) {
        Fail(path, "the file is damaged (bad block size).");
    }
    header.blockSize = blockCode * 1024;
    if (header.recordSize < 1 || header.recordSize > header.blockSize - 6) {
        Fail(path, "the file is damaged (bad record size).");
    }
    if (fieldCount < 1 || fieldCount > 1024 || header.keyFieldCount > fieldCount
        || (dataTable && (header.fileType == 0) != (header.keyFieldCount > 0))) {
        Fail(path, "the file is damaged (bad field count).");
    }
    if (static_cast<std::uint64_t>(header.headerSize) + static_cast<std::uint64_t>(header.fileBlocks) * header.blockSize
        > header.fileSize) {
        Fail(path, "the file is damaged (it is shorter than its blocks).");
    }
    const bool extended = header.version >= 5;
    const int start = extended ? kExtendedHeader : kFixedHeader;
    header.cryptKey = extended && header.headerSize >= kExtendedHeader ? GetU32(h + 0x5C) : GetU32(h + 0x25);
    if (GetU32(h + 0x25) == 0xFF00FF00 && !extended) {
        header.cryptKey = 0;
    }
    if (header.cryptKey != 0) {
        Fail(path, "the table is protected by a password, which this program cannot open.");
    }
    header.codePage = extended && header.headerSize >= kExtendedHeader ? GetU16(h + 0x6A) : 437;

    // Variable part: type/size pairs, pointers, the table name, then the field names.
    const std::size_t nameLength = TableNameLength(header.version);
    std::size_t pos = static_cast<std::size_t>(start);
    auto need = [&](std::size_t bytes) {
        if (pos + bytes > header.bytes.size()) {
            Fail(path, "the file is damaged (its header is cut short).");
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
            Fail(path, "the file has a field of unknown type " + std::to_string(h[pos]) + ".");
        }
        raw.push_back({ info, h[pos + 1] });
        pos += 2;
    }
    pos += 4 + 4 * static_cast<std::size_t>(fieldCount) + nameLength;
    need(0);
    const char* tableName = reinterpret_cast<const char*>(h + pos - nameLength);
    header.tableName.assign(tableName, std::find(tableName, tableName + nameLength, '\0'));
    std::vector<FieldLayout> fields;
    int offset = 0;
    int keySize = 0;
    for (int i = 0; i < fieldCount; ++i) {
        const char* begin = reinterpret_cast<const char*>(h + pos);
        const void* end = std::memchr(begin, 0, header.bytes.size() - pos);
        if (end == nullptr) {
            Fail(path, "the file is damaged (a field name runs past the header).");
        }
        std::string name(begin, static_cast<const char*>(end));
        pos += name.size() + 1;
        const int width = FieldWidth(raw[i].info->type, raw[i].sizeByte);
        if (width == 0) {
            Fail(path, "the file is damaged (field \"" + name + "\" has a bad size).");
        }
        const int size = IsBlobType(raw[i].info->type) ? raw[i].sizeByte - 10 : raw[i].sizeByte;
        fields.push_back({ std::move(name), raw[i].info->type, size, offset, width });
        offset += width;
        if (i < header.keyFieldCount) {
            keySize += width;
        }
    }
    if (offset != header.recordSize) {
        Fail(path, "the file is damaged (its fields do not add up to the record size).");
    }
    header.fields = std::move(fields);
    header.keySize = keySize;
}

void BlockFile::Attach(int fd, std::string path, int headerSize, int blockSize)
{
    m_fd = fd;
    m_path = std::move(path);
    m_headerSize = headerSize;
    m_blockSize = blockSize;
}

void BlockFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) const
{
    paradox::ReadAt(m_fd, m_path, offset, data, size);
}

void BlockFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size)
{
    WriteAll(m_fd, m_path, offset, data, size);
}

void BlockFile::ReadBlock(std::uint16_t number, std::vector<std::uint8_t>& block) const
{
    block.resize(static_cast<std::size_t>(m_blockSize));
    ReadAt(BlockOffset(number), block.data(), block.size());
}

void BlockFile::WriteBlock(std::uint16_t number, const std::vector<std::uint8_t>& block)
{
    WriteAt(BlockOffset(number), block.data(), block.size());
}

void BlockFile::WalkChain(std::uint16_t first, std::uint64_t fileSize, int recordSize, std::size_t keyBytes,
                          const std::function<void(ChainBlock block, const std::uint8_t* firstKey)>& visit) const
{
    // The chain of blocks is the truth about the records. A post writes its blocks before the
    // header, so after a crash the header may lag behind: a block past the header's block count
    // (but inside the file) and a record count that differs are read as the chain says.
    const std::uint64_t available
        = std::min<std::uint64_t>(0xFFFF, (fileSize - static_cast<std::uint64_t>(m_headerSize)) / m_blockSize);
    std::uint16_t block = first;
    std::vector<bool> seen(static_cast<std::size_t>(available) + 1, false);
    const int capacity = (m_blockSize - 6) / recordSize;
    std::vector<std::uint8_t> head(6 + keyBytes);
    while (block != 0) {
        if (block > available || seen[block]) {
            Fail(m_path, "the file is damaged (broken block chain at block " + std::to_string(block) + ").");
        }
        seen[block] = true;
        ReadAt(BlockOffset(block), head.data(), head.size());
        const auto lastOffset = static_cast<std::int16_t>(GetU16(head.data() + 4));
        if (lastOffset < -recordSize || (lastOffset + recordSize) % recordSize != 0
            || (lastOffset + recordSize) / recordSize > capacity) {
            Fail(m_path, "the file is damaged (bad record count in block " + std::to_string(block) + ").");
        }
        const int count = (lastOffset + recordSize) / recordSize;
        visit({ block, count }, head.data() + 6);
        block = GetU16(head.data());
    }
}

} // namespace wh::paradox
