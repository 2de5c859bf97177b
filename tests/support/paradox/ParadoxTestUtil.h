#pragma once

#include "common/TempTree.h"
#include "support/paradox/Table.h"

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace wh::test {

inline std::string SamplesDir()
{
    return std::string(WH_SHARED_DIR) + "/paradox-samples";
}

// zlib's CRC-32, to compare blob values with the checksums of the sample manifest.
inline std::uint32_t Crc32(const std::string& bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Copies files of a sample folder into a temporary tree so that tests may change them.
inline void CopySample(const TempTree& tree, const std::string& sub, const std::vector<std::string>& names)
{
    for (const auto& name : names) {
        tree.Write(name, ReadFile(SamplesDir() + "/" + sub + "/" + name));
    }
}

inline std::uint16_t U16At(const std::string& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(offset))
                                      | (static_cast<unsigned char>(bytes.at(offset + 1)) << 8));
}

inline std::uint32_t U32At(const std::string& bytes, std::size_t offset)
{
    return U16At(bytes, offset) | (static_cast<std::uint32_t>(U16At(bytes, offset + 2)) << 16);
}

// Every record of a table in its order, each field read as text.
inline std::vector<std::vector<std::string>> ReadAll(paradox::Table& table)
{
    std::vector<std::vector<std::string>> rows;
    for (table.First(); !table.Eof(); table.Next()) {
        std::vector<std::string> row;
        for (int i = 0; i < table.FieldCount(); ++i) {
            row.push_back(table.FieldAt(i).AsText());
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// The level-1 entries of a primary index (key bytes, DB block, record count), read straight from
// the .PX by the format notes: the root at 0x1E, the level count at 0x20, entries of key + 6 bytes.
struct IndexEntry
{
    std::string key;
    int block;
    int count;
    friend bool operator==(const IndexEntry&, const IndexEntry&) = default;
};

inline int DecodeShort(const std::string& bytes, std::size_t offset)
{
    const int raw
        = (static_cast<unsigned char>(bytes.at(offset)) << 8) | static_cast<unsigned char>(bytes.at(offset + 1));
    return static_cast<std::int16_t>(raw ^ 0x8000);
}

inline std::vector<IndexEntry> LevelOneEntries(const std::string& px)
{
    const std::size_t headerSize = U16At(px, 0x02);
    const std::size_t blockSize = static_cast<unsigned char>(px.at(0x05)) * 1024u;
    const std::size_t entrySize = U16At(px, 0x00);
    const std::size_t keySize = entrySize - 6;
    const int levels = static_cast<unsigned char>(px.at(0x20));
    std::vector<IndexEntry> result;
    if (levels == 0) {
        return result;
    }
    // Walk down the leftmost path to the first level-1 block, then along the level's chain.
    int block = U16At(px, 0x1E);
    for (int level = levels; level > 1; --level) {
        const std::size_t offset = headerSize + (block - 1) * blockSize;
        block = DecodeShort(px, offset + 6 + keySize);
    }
    while (block != 0) {
        const std::size_t offset = headerSize + (block - 1) * blockSize;
        const int count = static_cast<std::int16_t>(U16At(px, offset + 4)) / static_cast<int>(entrySize) + 1;
        for (int i = 0; i < count; ++i) {
            const std::size_t e = offset + 6 + i * entrySize;
            result.push_back({ px.substr(e, keySize), DecodeShort(px, e + keySize), DecodeShort(px, e + keySize + 2) });
        }
        block = U16At(px, offset);
    }
    return result;
}

// The same entries computed from the .DB: one per block in chain order, keyed by its first record.
inline std::vector<IndexEntry> EntriesFromData(const std::string& db, std::size_t keySize)
{
    const std::size_t headerSize = U16At(db, 0x02);
    const std::size_t blockSize = static_cast<unsigned char>(db.at(0x05)) * 1024u;
    const int recordSize = U16At(db, 0x00);
    std::vector<IndexEntry> result;
    for (int block = U16At(db, 0x0E); block != 0;) {
        const std::size_t offset = headerSize + (block - 1) * blockSize;
        const int count = static_cast<std::int16_t>(U16At(db, offset + 4)) / recordSize + 1;
        if (count > 0) {
            result.push_back({ db.substr(offset + 6, keySize), block, count });
        }
        block = U16At(db, offset);
    }
    return result;
}

} // namespace wh::test
