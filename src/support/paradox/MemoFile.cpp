#include "support/paradox/MemoFile.h"

#include "support/Errors.h"
#include "support/paradox/BlockFile.h"
#include "support/paradox/Encoding.h"
#include "support/paradox/FormatDetail.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::paradox {

using namespace encoding;
using namespace detail;

namespace {

constexpr int kSmallBlobLimit = 2048;
constexpr int kSmallBlobFirstChunk = 0x150 / 16;

} // namespace

std::vector<std::uint8_t> NewMemoHeader()
{
    std::vector<std::uint8_t> block(kMemoUnit, 0);
    static constexpr std::uint8_t kStart[] = { 0x00, 0x01, 0x00, 0x01, 0x00, 0x82, 0x73, 0x02, 0x00, 0x29, 0x00,
                                               0x00, 0x10, 0x00, 0x10, 0x00, 0x10, 0x40, 0x00, 0x00, 0x08 };
    std::memcpy(block.data(), kStart, sizeof kStart);
    PutU16(block.data() + 0x29, 0x02A1);
    return block;
}

void MemoFile::Bind(std::string folder, std::string fileName, std::string tablePath)
{
    m_folder = std::move(folder);
    m_fileName = std::move(fileName);
    m_tablePath = std::move(tablePath);
}

void MemoFile::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_lastKnown = false;
}

void MemoFile::Fail(const std::string& what) const
{
    throw TableError("Table \"" + m_tablePath + "\": " + what);
}

void MemoFile::Sync()
{
    if (m_fd >= 0 && m_writable) {
        ::fsync(m_fd);
    }
}

void MemoFile::Open(bool forWrite)
{
    if (m_fd >= 0 && (m_writable || !forWrite)) {
        return;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_path = Companion(m_folder, m_fileName, ".MB");
    if (!platform::FileExists(m_path)) {
        if (!forWrite) {
            throw TableError("The memo file \"" + m_path + "\" of table \"" + m_tablePath + "\" is missing.");
        }
        const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            throw TableError("Cannot create the memo file \"" + m_path + "\": " + SystemErrorText(errno));
        }
        UniqueFd guard(fd);
        const auto header = NewMemoHeader();
        WriteAll(fd, m_path, 0, header.data(), header.size());
    }
    int fd = ::open(m_path.c_str(), (forWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0 && !forWrite) {
        fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        throw TableError("Cannot open the memo file \"" + m_path + "\": " + SystemErrorText(errno));
    }
    m_fd = fd;
    m_writable = forWrite;
}

std::string MemoFile::ReadBlob(const Field& field, const std::uint8_t* raw)
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
    Open(false);
    struct stat info = {};
    if (::fstat(m_fd, &info) != 0) {
        throw TableError("Cannot read the memo file \"" + m_path + "\": " + SystemErrorText(errno));
    }
    const auto mbSize = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t blockOffset = locator & 0xFFFFFF00u;
    const unsigned index = locator & 0xFF;
    auto damaged = [&]() {
        throw TableError("The memo file \"" + m_path + "\" is damaged (bad value of field \"" + field.Name()
                         + "\" in table \"" + m_tablePath + "\").");
    };
    if (blockOffset == 0 || blockOffset + kMemoUnit > mbSize) {
        damaged();
    }
    std::uint8_t head[12 + 64 * 5];
    ReadAt(m_fd, m_path, blockOffset, head, sizeof head);
    std::uint64_t dataOffset = 0;
    if (index == 0xFF) {
        const std::uint64_t units = GetU16(head + 1);
        if (head[0] != 2 || GetU32(head + 3) != length || units == 0 || blockOffset + units * kMemoUnit > mbSize
            || 9 + static_cast<std::uint64_t>(length) > units * kMemoUnit) {
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
            || static_cast<std::uint64_t>(slot[0]) * 16 + length > kMemoUnit) {
            damaged();
        }
        dataOffset = blockOffset + static_cast<std::uint64_t>(slot[0]) * 16;
    }
    std::string value(length, '\0');
    ReadAt(m_fd, m_path, dataOffset, value.data(), value.size());
    return value;
}

void MemoFile::WriteBlob(const Field& field, std::uint8_t* raw, const std::string& value)
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
    if (value.size() > 65535ULL * kMemoUnit - 9) {
        Fail("the value of field \"" + field.Name() + "\" is too large.");
    }
    Open(true);
    std::uint8_t counterBytes[2];
    ReadAt(m_fd, m_path, 3, counterBytes, 2);
    std::uint16_t modification = static_cast<std::uint16_t>(GetU16(counterBytes) + 1);
    if (modification == 0) {
        modification = 1;
    }
    struct stat info = {};
    if (::fstat(m_fd, &info) != 0) {
        throw TableError("Cannot write the memo file \"" + m_path + "\": " + SystemErrorText(errno));
    }
    std::uint64_t end = (static_cast<std::uint64_t>(info.st_size) + kMemoUnit - 1) / kMemoUnit * kMemoUnit;
    if (end == 0) {
        const auto header = NewMemoHeader();
        WriteAll(m_fd, m_path, 0, header.data(), header.size());
        end = kMemoUnit;
    }
    std::uint32_t locator = 0;
    if (value.size() <= static_cast<std::size_t>(kSmallBlobLimit)) {
        // A slot of a sub-allocated block: the last such block of the file when it has room.
        const unsigned chunks = static_cast<unsigned>((value.size() + 15) / 16);
        std::vector<std::uint8_t> block(kMemoUnit, 0);
        std::uint64_t blockOffset = end;
        int slot = -1;
        unsigned dataChunk = kSmallBlobFirstChunk;
        // Only a real block start counts: a 4 KiB unit inside a large value may look like one.
        if (end >= 2 * kMemoUnit && LastBlock(end, GetU16(counterBytes)) == end - kMemoUnit) {
            std::vector<std::uint8_t> lastBlock(kMemoUnit);
            ReadAt(m_fd, m_path, end - kMemoUnit, lastBlock.data(), lastBlock.size());
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
                if (freeSlot >= 0 && used + chunks <= kMemoUnit / 16) {
                    block = std::move(lastBlock);
                    blockOffset = end - kMemoUnit;
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
        WriteAll(m_fd, m_path, blockOffset, block.data(), block.size());
        locator = static_cast<std::uint32_t>(blockOffset) | static_cast<std::uint32_t>(slot);
        m_lastBlock = blockOffset;
    } else {
        const std::uint64_t units = (9 + value.size() + kMemoUnit - 1) / kMemoUnit;
        std::vector<std::uint8_t> block(units * kMemoUnit, 0);
        block[0] = 2;
        PutU16(block.data() + 1, static_cast<std::uint32_t>(units));
        PutU32(block.data() + 3, static_cast<std::uint32_t>(value.size()));
        PutU16(block.data() + 7, modification);
        std::memcpy(block.data() + 9, value.data(), value.size());
        if (end > 0xFFFFFF00ULL - block.size()) {
            Fail("the memo file is full.");
        }
        WriteAll(m_fd, m_path, end, block.data(), block.size());
        locator = static_cast<std::uint32_t>(end) | 0xFF;
        m_lastBlock = end;
    }
    PutU16(counterBytes, modification);
    WriteAll(m_fd, m_path, 3, counterBytes, 2);
    m_lastKnown = true;
    m_lastCounter = modification;

    // The leader keeps the value's start; a graphic's leader skips its 8-byte prefix.
    const std::size_t skip = graphic && value.size() > 8 ? 8 : 0;
    const std::size_t copy = std::min(static_cast<std::size_t>(leader), value.size() - skip);
    std::memcpy(raw, value.data() + skip, copy);
    PutU32(raw + leader, locator);
    PutU32(raw + leader + 4, static_cast<std::uint32_t>(value.size()));
    PutU16(raw + leader + 8, modification);
}

std::uint64_t MemoFile::LastBlock(std::uint64_t end, std::uint16_t counter)
{
    // Blocks are not chained: the last one is found by stepping over whole blocks from the header
    // or from the last block this handle saw, when no other writer has written a value since.
    std::uint64_t at = m_lastKnown && m_lastCounter == counter && m_lastBlock < end ? m_lastBlock : 0;
    std::uint64_t last = at;
    while (at < end) {
        std::uint8_t head[3];
        ReadAt(m_fd, m_path, at, head, sizeof head);
        const std::uint16_t units = GetU16(head + 1);
        if (units == 0 || head[0] > 4 || (at == 0 && head[0] != 0)) {
            m_lastKnown = false;
            return UINT64_MAX; // a layout this program does not know: nothing is reused
        }
        last = at;
        at += static_cast<std::uint64_t>(units) * kMemoUnit;
    }
    m_lastKnown = true;
    m_lastBlock = last;
    m_lastCounter = counter;
    return last;
}

void MemoFile::FreeBlob(const Field& field, const std::uint8_t* raw)
{
    const int leader = field.m_width - 10;
    const std::uint32_t locator = GetU32(raw + leader);
    if (locator == 0 || GetU32(raw + leader + 4) == 0) {
        return;
    }
    try {
        Open(true);
        const std::uint64_t blockOffset = locator & 0xFFFFFF00u;
        const unsigned index = locator & 0xFF;
        std::vector<std::uint8_t> head(12 + 64 * 5);
        ReadAt(m_fd, m_path, blockOffset, head.data(), head.size());
        if (index == 0xFF && head[0] == 2) {
            const std::uint8_t freeType = 4;
            WriteAll(m_fd, m_path, blockOffset, &freeType, 1);
        } else if (index < 64 && head[0] == 3) {
            std::memset(head.data() + 12 + 5 * index, 0, 5);
            bool anyUsed = false;
            for (int i = 0; i < 64; ++i) {
                anyUsed = anyUsed || head[12 + 5 * i] != 0;
            }
            if (!anyUsed) {
                head[0] = 4;
            }
            WriteAll(m_fd, m_path, blockOffset, head.data(), head.size());
        }
    } catch (const TableError&) {
        // The old value is unreachable already; a damaged block only leaks its space.
    }
}

} // namespace wh::paradox
