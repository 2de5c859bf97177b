// `table check`: the family's files against the records, for a support person looking at a table
// that the adjusting product refuses to open.
#include "support/Errors.h"
#include "support/paradox/Encoding.h"
#include "support/paradox/FormatDetail.h"
#include "support/paradox/SecondaryIndex.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"

#include <algorithm>

namespace wh::paradox {

using namespace encoding;
using namespace detail;

void Table::RebuildSecondaryIndexes()
{
    CheckWritable();
    if (IsEditing()) {
        Post();
    }
    for (SecondaryIndex* index : SecondaryIndexes()) {
        if (index->IsMaintained()) {
            index->Rebuild();
        }
    }
    m_indexesRepaired = true;
}

Table::CheckReport Table::Check()
{
    if (!IsOpen()) {
        Fail("the table is not open.");
    }
    CheckReport report;
    auto& differences = report.differences;
    // Opening walked the block chain: its links and record counts are sound, or it failed.
    if (GetU32(m_header.data() + 0x06) != static_cast<std::uint64_t>(m_recordCount)) {
        differences.push_back("the header counts " + std::to_string(GetU32(m_header.data() + 0x06))
                              + " records; its blocks hold " + std::to_string(m_recordCount));
    }
    if (IsKeyed()) {
        std::vector<std::uint8_t> block;
        std::vector<std::uint8_t> previous;
        const auto recordSize = static_cast<std::size_t>(m_recordSize);
        std::int64_t position = 0;
        for (const ChainBlock& ref : m_chain) {
            m_dataFile.ReadBlock(ref.number, block);
            for (int r = 0; r < ref.count; ++r, ++position) {
                const std::uint8_t* record = block.data() + 6 + static_cast<std::size_t>(r) * recordSize;
                if (!previous.empty() && CompareKeys(previous.data(), record) >= 0) {
                    differences.push_back("record " + std::to_string(position + 1) + " (block "
                                          + std::to_string(ref.number) + ") is out of key order");
                }
                previous.assign(record, record + recordSize);
            }
        }
        const std::string pxPath = PrimaryIndexPath();
        if (!platform::FileExists(pxPath)) {
            differences.push_back("the primary index \"" + pxPath + "\" is missing");
        } else {
            const auto levels = ReadKeyIndex(pxPath);
            std::vector<IndexEntry> leaves;
            for (std::size_t i = 0; i < m_chain.size(); ++i) {
                if (m_chain[i].count > 0) {
                    leaves.push_back({ std::vector<std::uint8_t>(FirstKey(i), FirstKey(i) + m_keySize),
                                       m_chain[i].number, std::min(m_chain[i].count, 32767) });
                }
            }
            const std::vector<IndexEntry> none;
            const std::vector<IndexEntry>& found = levels.empty() ? none : levels.front();
            const bool same = found.size() == leaves.size()
                && std::equal(found.begin(), found.end(), leaves.begin(), [](const IndexEntry& a, const IndexEntry& b) {
                                  return a.key == b.key && a.block == b.block && a.count == b.count;
                              });
            if (!same) {
                differences.push_back("the primary index \"" + pxPath + "\" does not match the table's blocks");
            }
        }
    }
    for (SecondaryIndex* index : SecondaryIndexes()) {
        const std::string& name = index->FileName();
        if (!index->IsMaintained()) {
            report.notes.push_back("secondary index " + name + " (" + index->Name()
                                   + ") is not maintained: the product rebuilds it when it uses it");
            continue;
        }
        if (!index->Unsupported().empty()) {
            report.notes.push_back("secondary index " + name + " was not checked: " + index->Unsupported());
            continue;
        }
        for (const std::string& difference : index->Differences()) {
            differences.push_back("secondary index " + name + " (" + index->Name() + "): " + difference);
        }
    }
    return report;
}

} // namespace wh::paradox
