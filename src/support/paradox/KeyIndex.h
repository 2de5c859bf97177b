#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An index over a keyed block file: the .PX of a keyed table, and the same tree of a secondary
// index. Its blocks hold entries of key, block number and record count; the leaves name the data
// blocks in chain order, each level above names the blocks of the level below, up to one root.
namespace wh::paradox {

// A leaf to build from: the first key of a data block (`keySize` bytes that the caller keeps),
// the block's number and how many records it holds.
struct IndexLeaf
{
    const std::uint8_t* key;
    std::uint16_t block;
    std::int64_t count;
};

// An entry as the index file holds it.
struct IndexEntry
{
    std::vector<std::uint8_t> key;
    std::uint16_t block;
    std::int64_t count;
};

// What an index header is made of when there is none to keep.
struct IndexHeaderParams
{
    std::uint8_t fileType = 1; // 1: a primary index
    int blockSize = 0;
    int keySize = 0;
    int keyFieldCount = 0;
    const std::uint8_t* fieldPairs = nullptr; // type and size byte of each key field
    std::string tableBaseName;
    int sortOrder = 0;
    int version = 0;
    std::uint32_t tableCounter = 0; // 0x12
    std::uint8_t indexCounter = 0; // 0x2C, which every build moves on by one
};

std::vector<std::uint8_t> NewIndexHeader(const IndexHeaderParams& params);

class KeyIndex
{
public:
    // Drops the index as last written: the next build starts from the file again.
    void Forget();
    // The index's header as last written or read; empty before the first build.
    const std::vector<std::uint8_t>& Header() const { return m_header; }
    // Rewrites the index file at `path` for these leaves (in chain order, none empty). The file's
    // own header is kept when it fits `params` (its counters and unknown bytes stay); otherwise a
    // new one is made from them. Only the blocks that differ from the index as this object last
    // wrote or read it go to disk, then the header. Errors name `tablePath`.
    void Build(const std::string& path, const std::string& tablePath, std::vector<IndexLeaf> leaves,
               const IndexHeaderParams& params);

private:
    std::vector<std::uint8_t> m_header;
    std::vector<std::uint8_t> m_blocks;
};

// The entries of an index file level by level, the leaves first and the root's block last, each
// level in the order of the level above; empty for an index without blocks.
std::vector<std::vector<IndexEntry>> ReadKeyIndex(const std::string& path);

} // namespace wh::paradox
