#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The shape that .DB, .PX, .Xnn and .Ynn share: a header whose first 0x58 bytes hold the same
// fields in every file type, then numbered blocks of one size, each starting with a 6-byte head
// (next block, previous block, offset of its last record), chained in key or insertion order.
namespace wh::paradox {

enum class FieldType;

// Positional reads and writes that go on until every byte is through; a failure or a file that
// ends early throws TableError naming the file.
void ReadAt(int fd, const std::string& path, std::uint64_t offset, void* data, std::size_t size);
void WriteAll(int fd, const std::string& path, std::uint64_t offset, const void* data, std::size_t size);

// A field as the header's variable part describes it.
struct FieldLayout
{
    std::string name;
    FieldType type;
    int size; // as FieldDef has it: the leader length of blob fields, the size byte otherwise
    int offset; // within the record
    int width; // bytes in the record
};

struct BlockFileHeader
{
    std::vector<std::uint8_t> bytes; // the whole header, `headerSize` bytes
    std::uint64_t fileSize = 0; // of the file when the header was read

    // The fixed part, read by ReadBlockFileHeader and DecodeFixedHeader.
    int recordSize = 0; // 0x00: a record, or an index entry
    int headerSize = 0; // 0x02
    int fileType = 0; // 0x04: 0 keyed table, 1 primary index, 2 unkeyed table, 3-8 secondary index files
    int blockSizeCode = 0; // 0x05: the block size in KiB
    std::uint32_t recordCount = 0; // 0x06
    std::uint16_t usedBlocks = 0; // 0x0A
    std::uint16_t fileBlocks = 0; // 0x0C
    std::uint16_t firstBlock = 0; // 0x0E
    std::uint16_t lastBlock = 0; // 0x10
    int fieldCount = 0; // 0x21
    int keyFieldCount = 0; // 0x23
    int sortOrder = 0; // 0x29
    int version = 0; // 0x39

    // Checked and read by ParseBlockFileLayout.
    int blockSize = 0;
    std::uint32_t cryptKey = 0;
    int codePage = 0;
    std::string tableName;
    std::vector<FieldLayout> fields;
    int keySize = 0; // the bytes of the first `keyFieldCount` fields
};

// Reads the header of the block file open as `fd` and decodes its fixed part; a file too short for
// its header is an error naming `path`.
BlockFileHeader ReadBlockFileHeader(int fd, const std::string& path);
// The same for a header already in memory (`bytes` may run past the header; they are cut to it).
BlockFileHeader DecodeFixedHeader(std::vector<std::uint8_t> bytes, std::uint64_t fileSize, const std::string& path);
// Checks the fixed part and reads the variable part (field types and sizes, table name, field
// names) of a table or secondary index file (file types 0 and 2-8; a primary index has no field
// names). Which file types the caller accepts is for the caller to check before.
void ParseBlockFileLayout(BlockFileHeader& header, const std::string& path);

// A block of a chain: its number and how many records (or index entries) it holds.
struct ChainBlock
{
    std::uint16_t number;
    int count;
};

// The blocks of one open file: numbered from 1, right after the header.
class BlockFile
{
public:
    void Attach(int fd, std::string path, int headerSize, int blockSize);

    int HeaderSize() const { return m_headerSize; }
    int BlockSize() const { return m_blockSize; }
    const std::string& Path() const { return m_path; }

    std::uint64_t BlockOffset(std::uint16_t number) const
    {
        return static_cast<std::uint64_t>(m_headerSize) + static_cast<std::uint64_t>(number - 1) * m_blockSize;
    }
    void ReadAt(std::uint64_t offset, void* data, std::size_t size) const;
    void WriteAt(std::uint64_t offset, const void* data, std::size_t size);
    void ReadBlock(std::uint16_t number, std::vector<std::uint8_t>& block) const;
    void WriteBlock(std::uint16_t number, const std::vector<std::uint8_t>& block);

    // Follows the chain from block `first` in a file of `fileSize` bytes whose records are
    // `recordSize` bytes, checking every link and record count; `visit` gets each block with the
    // first `keyBytes` bytes of its first record.
    void WalkChain(std::uint16_t first, std::uint64_t fileSize, int recordSize, std::size_t keyBytes,
                   const std::function<void(ChainBlock block, const std::uint8_t* firstKey)>& visit) const;

private:
    int m_fd = -1;
    std::string m_path;
    int m_headerSize = 0;
    int m_blockSize = 0;
};

} // namespace wh::paradox
