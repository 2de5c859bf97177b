#include "support/paradox/KeyIndex.h"

#include "support/Errors.h"
#include "support/paradox/BlockFile.h"
#include "support/paradox/Encoding.h"
#include "support/paradox/FormatDetail.h"

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

constexpr int kIndexHeaderSize = 0x800;

std::string IndexKind(std::uint8_t fileType)
{
    return fileType == 1 ? "primary index" : "secondary index";
}

} // namespace

std::vector<std::uint8_t> NewIndexHeader(const IndexHeaderParams& params)
{
    const std::size_t nameLength = TableNameLength(params.version);
    const int keyFields = params.keyFieldCount;
    std::vector<std::uint8_t> header(kIndexHeaderSize, 0);
    std::uint8_t* p = header.data();
    PutU16(p + 0x00, static_cast<std::uint32_t>(params.keySize + 6));
    PutU16(p + 0x02, kIndexHeaderSize);
    p[0x04] = params.fileType;
    p[0x05] = static_cast<std::uint8_t>(params.blockSize / 1024);
    PutU16(p + 0x12, params.tableCounter);
    PutU16(p + 0x1E, 1);
    PutU16(p + 0x21, static_cast<std::uint32_t>(keyFields));
    p[0x29] = static_cast<std::uint8_t>(params.sortOrder);
    p[0x2C] = params.indexCounter;
    p[0x2D] = 2;
    p[0x2E] = 1;
    p[0x39] = static_cast<std::uint8_t>(params.version);
    std::memcpy(p + 0x58, params.fieldPairs, 2 * static_cast<std::size_t>(keyFields));
    const std::string& base = params.tableBaseName;
    std::memcpy(p + 0x58 + 2 * keyFields + 4, base.data(), std::min(base.size(), nameLength - 1));
    PutU16(p + 0x51, static_cast<std::uint32_t>(kFixedHeader + 2 * keyFields + 4 + nameLength));
    return header;
}

void KeyIndex::Forget()
{
    m_header.clear();
    m_blocks.clear();
}

void KeyIndex::Build(const std::string& path, const std::string& tablePath, std::vector<IndexLeaf> leaves,
                     const IndexHeaderParams& params)
{
    const std::string kind = IndexKind(params.fileType);
    auto fail = [&](const std::string& what) { throw TableError("Table \"" + tablePath + "\": " + what); };
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("cannot write the " + kind + " \"" + path + "\": " + SystemErrorText(errno));
    }
    UniqueFd guard(fd);
    // What is cached of the index matches the file only once a build has written it whole; a
    // build cut short (a full disk, an I/O error) forgets it, so that the next build reads the
    // file again rather than skip blocks it believes are already there.
    struct ForgetUnlessWritten
    {
        KeyIndex& index;
        bool written = false;
        ~ForgetUnlessWritten()
        {
            if (!written) {
                index.m_header.clear();
                index.m_blocks.clear();
            }
        }
    } forget { *this };
    if (m_header.empty()) {
        // Keep the index's own header (its counters and unknown bytes) when it fits this table.
        std::vector<std::uint8_t> header(kIndexHeaderSize, 0);
        struct stat info = {};
        bool reuse = false;
        if (::fstat(fd, &info) == 0 && info.st_size >= kIndexHeaderSize) {
            ReadAt(fd, path, 0, header.data(), header.size());
            reuse = GetU16(header.data() + 0x02) == kIndexHeaderSize && header[0x04] == params.fileType
                && GetU16(header.data() + 0x21) == params.keyFieldCount && header[0x05] >= 1 && header[0x05] <= 32;
        }
        if (!reuse) {
            header = NewIndexHeader(params);
        }
        PutU16(header.data(), static_cast<std::uint32_t>(params.keySize + 6));
        m_header = std::move(header);
        m_blocks.clear();
        const auto size = ::lseek(fd, 0, SEEK_END);
        if (size > kIndexHeaderSize) {
            m_blocks.resize(static_cast<std::size_t>(size - kIndexHeaderSize));
            ReadAt(fd, path, kIndexHeaderSize, m_blocks.data(), m_blocks.size());
        }
    }
    std::uint8_t* p = m_header.data();
    // The index counter follows the table's by the distance the two had before.
    p[0x2C] = static_cast<std::uint8_t>(p[0x2C] + 1);

    const std::size_t blockSize = static_cast<std::size_t>(p[0x05]) * 1024;
    const std::size_t keySize = static_cast<std::size_t>(params.keySize);
    const std::size_t entrySize = keySize + 6;
    const std::size_t perBlock = (blockSize - 6) / entrySize;
    if (perBlock < 2) {
        fail("the key is too long for the " + kind + ".");
    }
    std::vector<std::vector<IndexLeaf>> levels(1);
    levels[0] = std::move(leaves);
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
        fail("the " + kind + " is too large.");
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
        if (offset + blockSize <= m_blocks.size()
            && std::memcmp(m_blocks.data() + offset, data.data() + offset, blockSize) == 0) {
            continue;
        }
        WriteAll(fd, path, kIndexHeaderSize + offset, data.data() + offset, blockSize);
    }
    if (data.size() != m_blocks.size() && ::ftruncate(fd, static_cast<off_t>(kIndexHeaderSize + data.size())) != 0) {
        fail("cannot write the " + kind + " \"" + path + "\": " + SystemErrorText(errno));
    }
    WriteAll(fd, path, 0, m_header.data(), m_header.size());
    m_blocks = std::move(data);
    forget.written = true;
}

std::vector<std::vector<IndexEntry>> ReadKeyIndex(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw TableError("Cannot open the index \"" + path + "\": " + SystemErrorText(errno));
    }
    UniqueFd guard(fd);
    auto damaged
        = [&](const std::string& what) { throw TableError("Table file \"" + path + "\" is damaged (" + what + ")."); };
    const BlockFileHeader header = ReadBlockFileHeader(fd, path);
    if (header.blockSizeCode < 1 || header.blockSizeCode > 32) {
        damaged("bad block size");
    }
    const int blockSize = header.blockSizeCode * 1024;
    const int entrySize = header.recordSize;
    const auto keySize = static_cast<std::size_t>(entrySize - 6);
    if (entrySize <= 6 || entrySize > blockSize - 6) {
        damaged("bad entry size");
    }
    const int perBlock = (blockSize - 6) / entrySize;
    const std::uint8_t* h = header.bytes.data();
    const int levelCount = h[0x20];
    if (levelCount == 0) {
        return {};
    }
    BlockFile file;
    file.Attach(fd, path, header.headerSize, blockSize);
    const std::uint64_t available = std::min<std::uint64_t>(
        0xFFFF, (header.fileSize - static_cast<std::uint64_t>(header.headerSize)) / blockSize);
    std::vector<bool> seen(static_cast<std::size_t>(available) + 1, false);
    std::vector<std::vector<IndexEntry>> levels;
    std::vector<std::uint16_t> blocksOfLevel { GetU16(h + 0x1E) };
    std::vector<std::uint8_t> block;
    for (int l = 0; l < levelCount; ++l) {
        std::vector<IndexEntry> entries;
        for (const std::uint16_t number : blocksOfLevel) {
            if (number == 0 || number > available || seen[number]) {
                damaged("bad reference to block " + std::to_string(number));
            }
            seen[number] = true;
            file.ReadBlock(number, block);
            const auto lastOffset = static_cast<std::int16_t>(GetU16(block.data() + 4));
            if (lastOffset < -entrySize || (lastOffset + entrySize) % entrySize != 0
                || (lastOffset + entrySize) / entrySize > perBlock) {
                damaged("bad entry count in block " + std::to_string(number));
            }
            const int count = (lastOffset + entrySize) / entrySize;
            for (int i = 0; i < count; ++i) {
                const std::uint8_t* e = block.data() + 6 + static_cast<std::size_t>(i) * entrySize;
                const auto target = DecodeInteger(e + keySize, 2);
                const auto records = DecodeInteger(e + keySize + 2, 2);
                if (!target || *target < 1 || *target > 0xFFFF || !records) {
                    damaged("bad entry " + std::to_string(i) + " in block " + std::to_string(number));
                }
                entries.push_back(
                    { std::vector<std::uint8_t>(e, e + keySize), static_cast<std::uint16_t>(*target), *records });
            }
        }
        blocksOfLevel.clear();
        for (const auto& entry : entries) {
            blocksOfLevel.push_back(entry.block);
        }
        levels.push_back(std::move(entries));
    }
    std::reverse(levels.begin(), levels.end());
    return levels;
}

} // namespace wh::paradox
