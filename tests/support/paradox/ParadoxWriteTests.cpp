// Tables our engine creates and changes: values of every type, memo and blob values of any size,
// keyed order with a valid primary index, sharing locks, and damaged files.
#include "ParadoxTestUtil.h"

#include "support/Errors.h"
#include "support/paradox/KeyIndex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace wh;
using namespace wh::paradox;
using wh::test::ReadFile;
using wh::test::TempTree;

namespace {

std::vector<FieldDef> EveryType()
{
    return {
        { "ID", FieldType::Long, 0 },        { "Name Of", FieldType::Alpha, 20 },  { "Born", FieldType::Date, 0 },
        { "Small", FieldType::Short, 0 },    { "Paid", FieldType::Currency, 0 },   { "Ratio", FieldType::Number, 0 },
        { "Closed", FieldType::Logical, 0 }, { "Notes", FieldType::Memo, 20 },     { "Data", FieldType::Blob, 0 },
        { "Rich", FieldType::FmtMemo, 8 },   { "Doc", FieldType::Ole, 0 },         { "Pic", FieldType::Graphic, 10 },
        { "At", FieldType::Time, 0 },        { "Stamp", FieldType::Timestamp, 0 }, { "Seq", FieldType::AutoInc, 0 },
        { "Exact", FieldType::Bcd, 2 },      { "Raw", FieldType::Bytes, 6 },
    };
}

std::string Pattern(std::size_t size, int seed)
{
    std::string value(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        value[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed) * 7 + i / 251) & 0xFF);
    }
    return value;
}

// A graphic value as the engine stores it: an 8-byte prefix, then the picture.
std::string Graphic(std::size_t size)
{
    std::string picture = Pattern(size, 9);
    std::string prefix("\x01\x00\x00\x01", 4);
    const auto n = static_cast<std::uint32_t>(size);
    for (int i = 0; i < 4; ++i) {
        prefix.push_back(static_cast<char>(n >> (8 * i)));
    }
    return prefix + picture;
}

std::vector<std::int64_t> Keys(const std::string& folder, const std::string& name)
{
    Table table(folder, name);
    table.Open();
    std::vector<std::int64_t> keys;
    for (table.First(); !table.Eof(); table.Next()) {
        keys.push_back(table.FieldAt(0).AsInteger());
    }
    return keys;
}

// The family's bookkeeping agrees with itself: counts, block fields and the primary index.
void ExpectConsistent(const std::string& dbPath, const std::string& pxPath, std::size_t keySize)
{
    const std::string db = ReadFile(dbPath);
    const auto blocks = wh::test::EntriesFromData(db, keySize);
    std::int64_t total = 0;
    for (const auto& entry : blocks) {
        total += entry.count;
    }
    EXPECT_EQ(total, static_cast<std::int32_t>(wh::test::U32At(db, 0x06)));
    const std::size_t headerSize = wh::test::U16At(db, 0x02);
    const std::size_t blockSize = static_cast<unsigned char>(db[0x05]) * 1024u;
    EXPECT_EQ(db.size(), headerSize + wh::test::U16At(db, 0x0C) * blockSize);
    EXPECT_EQ(wh::test::U16At(db, 0x3A), wh::test::U16At(db, 0x0C));
    if (pxPath.empty()) {
        return;
    }
    const std::string px = ReadFile(pxPath);
    EXPECT_EQ(wh::test::LevelOneEntries(px), blocks);
    EXPECT_GE(static_cast<unsigned char>(db[0x2D]), 2);
    EXPECT_EQ(db[0x14] | db[0x2A] | db[0x4F], 0);
}

} // namespace

TEST(ParadoxWrite, EveryFieldTypeReadsBackAfterReopening)
{
    TempTree tree;
    Table::Create(tree.Root(), "Every.DB", EveryType(), 1);
    const std::vector<std::size_t> blobSizes = { 0, 5, 300, 2048, 2049, 70000, 300000 };
    {
        Table table(tree.Root(), "every.db");
        table.Open(OpenMode::Exclusive);
        for (std::size_t i = 0; i < blobSizes.size(); ++i) {
            table.Append();
            table.FieldByName("id").SetInteger(static_cast<std::int64_t>(100 - i));
            table.FieldByName("name of").SetText("Name \xE9" + std::to_string(i));
            table.FieldByName("Born").SetText("02/29/2000");
            table.FieldByName("Small").SetInteger(-32767 + static_cast<int>(i));
            table.FieldByName("Paid").SetFloat(-12.5 * static_cast<double>(i));
            table.FieldByName("Ratio").SetFloat(1.0 / 3.0);
            table.FieldByName("Closed").SetBoolean(i % 2 == 0);
            table.FieldByName("Notes").SetText(Pattern(blobSizes[i], 1));
            table.FieldByName("Data").SetBytes(Pattern(blobSizes[i], 2));
            table.FieldByName("Rich").SetBytes(Pattern(blobSizes[i], 3));
            table.FieldByName("Doc").SetBytes(Pattern(blobSizes[i], 4));
            table.FieldByName("Pic").SetBytes(blobSizes[i] == 0 ? std::string() : Graphic(blobSizes[i]));
            table.FieldByName("At").SetText(i == 0 ? "12:00:00 AM" : "1:02:03 PM");
            table.FieldByName("Stamp").SetDateTime(text::EncodeDateTime({ 2024, 3, 4, 5, 6, 7, 890 }));
            table.FieldByName("Exact").SetFloat(-123.45);
            table.FieldByName("Raw").SetBytes(std::string("\x01\x00\x02", 3));
            table.Post();
        }
        table.Flush();
    }
    Table table(tree.Root(), "EVERY.db");
    table.Open();
    ASSERT_EQ(table.RecordCount(), static_cast<std::int64_t>(blobSizes.size()));
    std::size_t row = 0;
    for (table.First(); !table.Eof(); table.Next(), ++row) {
        // Keys 94..100 ascend, so the record with key 94 (the last appended) comes first.
        const std::size_t i = blobSizes.size() - 1 - row;
        SCOPED_TRACE(i);
        EXPECT_EQ(table.FieldByName("ID").AsInteger(), static_cast<std::int64_t>(100 - i));
        EXPECT_EQ(table.FieldByName("Name Of").AsText(), "Name \xE9" + std::to_string(i));
        EXPECT_EQ(table.FieldByName("Born").AsText(), "02/29/2000");
        EXPECT_EQ(table.FieldByName("Born").AsDateTime(), text::EncodeDateTime({ 2000, 2, 29 }));
        EXPECT_EQ(table.FieldByName("Small").AsInteger(), -32767 + static_cast<int>(i));
        EXPECT_EQ(table.FieldByName("Paid").AsFloat(), -12.5 * static_cast<double>(i));
        EXPECT_EQ(table.FieldByName("Ratio").AsFloat(), 1.0 / 3.0);
        EXPECT_EQ(table.FieldByName("Closed").AsText(), i % 2 == 0 ? "True" : "False");
        EXPECT_EQ(table.FieldByName("Notes").AsText(), Pattern(blobSizes[i], 1));
        EXPECT_EQ(table.FieldByName("Data").AsBytes(), Pattern(blobSizes[i], 2));
        EXPECT_EQ(table.FieldByName("Rich").AsBytes(), Pattern(blobSizes[i], 3));
        EXPECT_EQ(table.FieldByName("Doc").AsBytes(), Pattern(blobSizes[i], 4));
        EXPECT_EQ(table.FieldByName("Pic").AsBytes(), blobSizes[i] == 0 ? std::string() : Graphic(blobSizes[i]));
        EXPECT_EQ(table.FieldByName("Notes").IsNull(), blobSizes[i] == 0);
        EXPECT_FALSE(table.FieldByName("At").IsNull()); // midnight is a value, not an empty field
        EXPECT_EQ(table.FieldByName("At").AsText(), i == 0 ? "12:00:00 AM" : "1:02:03 PM");
        EXPECT_EQ(table.FieldByName("Stamp").AsDateTime(), text::EncodeDateTime({ 2024, 3, 4, 5, 6, 7, 890 }));
        EXPECT_EQ(table.FieldByName("Seq").AsInteger(), static_cast<std::int64_t>(i + 1));
        EXPECT_FALSE(table.FieldByName("Seq").CanModify());
        EXPECT_TRUE(table.FieldByName("Name Of").CanModify());
        EXPECT_NEAR(table.FieldByName("Exact").AsFloat(), -123.45, 1e-9);
        EXPECT_EQ(table.FieldByName("Raw").AsBytes(), std::string("\x01\x00\x02\x00\x00\x00", 6));
    }
}

TEST(ParadoxWrite, MemoLeadersAndBlocksFollowTheFormat)
{
    TempTree tree;
    Table::Create(tree.Root(), "m", { { "K", FieldType::Long }, { "M", FieldType::Memo, 10 } }, 1);
    {
        Table table(tree.Root(), "m");
        table.Open();
        const std::size_t sizes[] = { 10, 100, 5000 };
        for (int i = 0; i < 3; ++i) {
            table.Append();
            table.FieldAt(0).SetInteger(i + 1);
            table.FieldAt(1).SetText(Pattern(sizes[i], i));
            table.Post();
        }
    }
    const std::string db = ReadFile(tree.Path("m.DB"));
    const std::string mb = ReadFile(tree.Path("m.MB"));
    const std::size_t first = 0x800 + 6;
    const std::size_t recordSize = 4 + 20;
    // Record 1: inline, locator 0, no modification number.
    EXPECT_EQ(db.substr(first + 4, 10), Pattern(10, 0));
    EXPECT_EQ(wh::test::U32At(db, first + 14), 0u);
    EXPECT_EQ(wh::test::U32At(db, first + 18), 10u);
    // Record 2: a slot of a sub-allocated block; the leader repeats the start of the value.
    const std::size_t second = first + recordSize;
    const std::uint32_t slotLocator = wh::test::U32At(db, second + 14);
    EXPECT_EQ(db.substr(second + 4, 10), Pattern(100, 1).substr(0, 10));
    ASSERT_EQ(slotLocator & 0xFF, 63u);
    const std::size_t slotBlock = slotLocator & 0xFFFFFF00u;
    EXPECT_EQ(mb[slotBlock], 3);
    const std::size_t slot = slotBlock + 12 + 5 * 63;
    EXPECT_EQ(static_cast<unsigned char>(mb[slot + 1]), 7u); // 100 bytes in 16-byte chunks
    EXPECT_EQ(static_cast<unsigned char>(mb[slot + 4]), 4u);
    EXPECT_EQ(mb.substr(slotBlock + static_cast<unsigned char>(mb[slot]) * 16u, 100), Pattern(100, 1));
    // Record 3: a block of its own; its modification number is kept in three places.
    const std::size_t third = second + recordSize;
    const std::uint32_t blockLocator = wh::test::U32At(db, third + 14);
    ASSERT_EQ(blockLocator & 0xFF, 0xFFu);
    const std::size_t block = blockLocator & 0xFFFFFF00u;
    EXPECT_EQ(mb[block], 2);
    EXPECT_EQ(wh::test::U16At(mb, block + 1), 2u);
    EXPECT_EQ(wh::test::U32At(mb, block + 3), 5000u);
    EXPECT_EQ(wh::test::U16At(mb, block + 7), wh::test::U16At(db, third + 22));
    EXPECT_EQ(wh::test::U16At(mb, 3), wh::test::U16At(db, third + 22));
    EXPECT_EQ(mb.size() % 4096, 0u);
}

// The index reader gives back every level of an index that the engine built: the leaves name the
// data blocks in chain order, and every level counts every record once.
TEST(ParadoxWrite, IndexReaderSeesEveryLevelOfABuiltIndex)
{
    TempTree tree;
    Table::Create(tree.Root(), "Levels.db", { { "Key", FieldType::Alpha, 200 }, { "N", FieldType::Long } }, 1);
    Table table(tree.Root(), "Levels.db");
    table.Open();
    const int records = 600;
    for (int i = records; i > 0; --i) {
        table.Append();
        char key[16];
        std::snprintf(key, sizeof key, "key %05d", i * 7);
        table.FieldAt(0).SetText(key);
        table.FieldAt(1).SetInteger(i);
        table.Post();
    }
    table.Close();
    const std::string db = ReadFile(tree.Path("Levels.db"));
    const std::string px = ReadFile(tree.Path("Levels.px"));
    const auto levels = ReadKeyIndex(tree.Path("Levels.px"));
    ASSERT_GE(levels.size(), 2u);
    EXPECT_EQ(levels.size(), static_cast<unsigned char>(px[0x20]));
    for (std::size_t l = 1; l < levels.size(); ++l) {
        EXPECT_LT(levels[l].size(), levels[l - 1].size()); // an entry a block of the level below
    }
    std::vector<wh::test::IndexEntry> leaves;
    for (const auto& entry : levels.front()) {
        leaves.push_back(
            { std::string(entry.key.begin(), entry.key.end()), entry.block, static_cast<int>(entry.count) });
    }
    EXPECT_EQ(leaves, wh::test::EntriesFromData(db, 200));
    for (const auto& level : levels) {
        std::int64_t total = 0;
        for (std::size_t i = 0; i < level.size(); ++i) {
            total += level[i].count;
            if (i > 0) {
                EXPECT_LT(level[i - 1].key, level[i].key);
            }
        }
        EXPECT_EQ(total, records);
    }
}

TEST(ParadoxWrite, KeyedTablesStayInOrderWithAValidIndex)
{
    TempTree tree;
    Table::Create(tree.Root(), "Keyed.db",
                  { { "Key", FieldType::Long }, { "Text", FieldType::Alpha, 120 }, { "N", FieldType::Number } }, 1);
    std::vector<std::int64_t> keys(4000);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        keys[i] = static_cast<std::int64_t>(i) * 3 - 5000;
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
    Table table(tree.Root(), "keyed.db");
    table.Open();
    for (auto key : keys) {
        table.Append();
        table.FieldAt(0).SetInteger(key);
        table.FieldAt(1).SetText("value " + std::to_string(key));
        table.FieldAt(2).SetFloat(static_cast<double>(key) / 2);
        table.Post();
    }
    // A duplicate key is refused and leaves the table as it was.
    table.Append();
    table.FieldAt(0).SetInteger(keys[7]);
    EXPECT_THROW(table.Post(), TableError);
    table.Cancel();
    std::vector<std::int64_t> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Keys(tree.Root(), "keyed.db"), sorted);
    ExpectConsistent(tree.Path("Keyed.db"), tree.Path("Keyed.px"), 4);
    const std::string px = ReadFile(tree.Path("Keyed.px"));
    EXPECT_GE(static_cast<unsigned char>(px[0x20]), 2); // enough blocks for a second index level

    // Deletes (whole blocks empty out) and key changes (records move).
    std::set<std::int64_t> expected(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); i += (i % 200 < 150 ? 1 : 3)) {
        ASSERT_TRUE(table.FindKey(sorted[i]));
        table.Delete();
        expected.erase(sorted[i]);
    }
    for (std::int64_t key : { sorted[3999], sorted[170], sorted[3000] }) {
        if (!table.FindKey(key)) {
            continue;
        }
        table.Edit();
        table.FieldAt(0).SetInteger(key + 100000);
        table.Post();
        EXPECT_EQ(table.FieldAt(1).AsText(), "value " + std::to_string(key));
        expected.erase(key);
        expected.insert(key + 100000);
    }
    EXPECT_EQ(table.RecordCount(), static_cast<std::int64_t>(expected.size()));
    table.Close();
    EXPECT_EQ(Keys(tree.Root(), "keyed.db"), std::vector<std::int64_t>(expected.begin(), expected.end()));
    ExpectConsistent(tree.Path("Keyed.db"), tree.Path("Keyed.px"), 4);
    const std::string db = ReadFile(tree.Path("Keyed.db"));
    EXPECT_NE(wh::test::U16At(db, 0x4D), 0u); // emptied blocks went to the free list
    EXPECT_LT(wh::test::U16At(db, 0x0A), wh::test::U16At(db, 0x0C));

    // New records reuse the free blocks before the file grows.
    const std::uint16_t fileBlocks = wh::test::U16At(db, 0x0C);
    table.Open();
    for (int i = 0; i < 50; ++i) {
        table.Append();
        table.FieldAt(0).SetInteger(-100000 + i);
        table.Post();
    }
    table.Close();
    EXPECT_EQ(wh::test::U16At(ReadFile(tree.Path("Keyed.db")), 0x0C), fileBlocks);
    ExpectConsistent(tree.Path("Keyed.db"), tree.Path("Keyed.px"), 4);
}

TEST(ParadoxWrite, AlphaAndCompoundKeysCompareFieldByField)
{
    TempTree tree;
    Table::Create(tree.Root(), "two",
                  { { "Claim", FieldType::Alpha, 8 }, { "Line", FieldType::Short }, { "V", FieldType::Alpha, 4 } }, 2);
    Table table(tree.Root(), "two");
    table.Open();
    const std::vector<std::pair<std::string, int>> rows
        = { { "B", 2 }, { "A", 10 }, { "AB", 1 }, { "A", -3 }, { "B", 1 } };
    for (const auto& [claim, line] : rows) {
        table.Append();
        table.FieldAt(0).SetText(claim);
        table.FieldAt(1).SetInteger(line);
        table.Post();
    }
    std::vector<std::string> order;
    for (table.First(); !table.Eof(); table.Next()) {
        order.push_back(table.FieldAt(0).AsText() + ":" + table.FieldAt(1).AsText());
    }
    EXPECT_EQ(order, (std::vector<std::string> { "A:-3", "A:10", "AB:1", "B:1", "B:2" }));
    EXPECT_TRUE(table.FindKey({ "AB", "1" }));
    EXPECT_EQ(table.FieldAt(0).AsText(), "AB");
    EXPECT_TRUE(table.FindKey({ "B" })); // a partial key finds the first match
    EXPECT_EQ(table.FieldAt(1).AsInteger(), 1);
    EXPECT_FALSE(table.FindKey({ "C", "1" }));
    EXPECT_FALSE(table.FindKey({ "Z" }));
    EXPECT_EQ(table.FieldAt(0).AsText() + ":" + table.FieldAt(1).AsText(), "B:1"); // a miss keeps the position
    table.Close();
    ExpectConsistent(tree.Path("two.DB"), tree.Path("two.PX"), 10);
}

TEST(ParadoxWrite, UnkeyedTablesAppendAndShrink)
{
    TempTree tree;
    Table::Create(tree.Root(), "log", { { "Line", FieldType::Alpha, 200 } });
    Table table(tree.Root(), "log");
    table.Open();
    for (int i = 0; i < 100; ++i) {
        table.Append();
        table.FieldAt(0).SetText("line " + std::to_string(i));
        table.Post();
    }
    // Delete from the front: the first block keeps its place and takes the next block's records.
    table.First();
    for (int i = 0; i < 25; ++i) {
        table.Delete();
    }
    EXPECT_EQ(table.FieldAt(0).AsText(), "line 25");
    table.Last();
    EXPECT_EQ(table.FieldAt(0).AsText(), "line 99");
    table.Delete();
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(table.RecordCount(), 74);
    table.Close();
    ExpectConsistent(tree.Path("log.DB"), "", 0);
    const std::string db = ReadFile(tree.Path("log.DB"));
    EXPECT_EQ(wh::test::U16At(db, 0x0E), 1u);
    table.Open();
    std::vector<std::string> rows;
    for (table.First(); !table.Eof(); table.Next()) {
        rows.push_back(table.FieldAt(0).AsText());
    }
    ASSERT_EQ(rows.size(), 74u);
    EXPECT_EQ(rows.front(), "line 25");
    EXPECT_EQ(rows.back(), "line 98");
    // Deleting every record returns the table to the empty form.
    for (table.First(); !table.Eof();) {
        table.Delete();
    }
    table.Close();
    EXPECT_EQ(ReadFile(tree.Path("log.DB")).size(), 0x800u);
    ExpectConsistent(tree.Path("log.DB"), "", 0);
}

TEST(ParadoxWrite, EditingNavigationAndLookups)
{
    TempTree tree;
    Table::Create(
        tree.Root(), "CONTROL.DB",
        { { "UserName", FieldType::Alpha, 30 }, { "UserID", FieldType::Long }, { "Seq", FieldType::AutoInc } });
    Table table(tree.Root(), "control.db");
    table.Open();
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(table.FieldByName("UserName").AsText(), "");
    EXPECT_EQ(table.FieldByName("UserID").AsInteger(), 0);
    table.Edit(); // on an empty table, Edit starts a new record
    table.FieldByName("UserName").SetText("MANAGER");
    table.FieldByName("UserID").SetInteger(1);
    table.Post();
    EXPECT_EQ(table.RecordCount(), 1);
    table.Append();
    table.FieldByName("UserName").SetText("Adjuster Two");
    table.FieldByName("UserID").SetText("2");
    table.Post();
    table.Append();
    table.FieldByName("UserName").SetText("dropped");
    table.Cancel();
    EXPECT_EQ(table.RecordCount(), 2);

    EXPECT_TRUE(table.FindFirstNoCase("username", "adjuster TWO"));
    EXPECT_EQ(table.FieldByName("UserID").AsInteger(), 2);
    EXPECT_EQ(table.FieldByName("Seq").AsInteger(), 2);
    EXPECT_FALSE(table.FindFirstNoCase("UserName", "nobody"));
    EXPECT_EQ(table.FieldByName("UserID").AsInteger(), 2); // a failed search keeps the position
    table.Edit();
    table.FieldByName("UserName").SetText("Renamed");
    table.Cancel();
    EXPECT_EQ(table.FieldByName("UserName").AsText(), "Adjuster Two");

    EXPECT_EQ(table.FindField("no such"), nullptr);
    try {
        table.FieldByName("Missing Field");
        ADD_FAILURE();
    } catch (const TableError& error) {
        EXPECT_NE(std::string(error.what()).find("Missing Field"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("CONTROL.DB"), std::string::npos);
    }
    table.Edit();
    EXPECT_THROW(table.FieldByName("UserID").SetText("two"), TableError);
    EXPECT_THROW(table.FieldByName("UserID").SetInteger(1LL << 40), TableError);
    table.Cancel();
    EXPECT_THROW(table.FieldByName("UserID").SetInteger(5), TableError); // not in edit mode
    EXPECT_THROW(table.FindKey(1), TableError); // no primary key
    table.Close();

    // The autoincrement counter goes on from the highest value after reopening.
    table.Open();
    table.Append();
    table.FieldByName("UserName").SetText("Three");
    table.Post();
    EXPECT_EQ(table.FieldByName("Seq").AsInteger(), 3);
}

TEST(ParadoxWrite, AssignFromCopiesWholeValuesBetweenTables)
{
    TempTree tree;
    Table::Create(tree.Root(), "src",
                  { { "Id", FieldType::Long },
                    { "Memo", FieldType::Memo, 5 },
                    { "Blob", FieldType::Blob, 0 },
                    { "Amount", FieldType::Currency },
                    { "When", FieldType::Date },
                    { "Flag", FieldType::Logical } });
    Table::Create(tree.Root(), "dst",
                  { { "Id", FieldType::Alpha, 10 },
                    { "Memo", FieldType::Memo, 60 },
                    { "Blob", FieldType::Graphic, 20 },
                    { "Amount", FieldType::Alpha, 20 },
                    { "When", FieldType::Timestamp },
                    { "Flag", FieldType::Alpha, 6 } });
    Table source(tree.Root(), "src");
    source.Open();
    source.Append();
    source.FieldByName("Id").SetInteger(77);
    source.FieldByName("Memo").SetText(Pattern(4000, 5));
    source.FieldByName("Blob").SetBytes(Pattern(50, 6));
    source.FieldByName("Amount").SetFloat(12.25);
    source.FieldByName("When").SetText("12/31/1999");
    source.FieldByName("Flag").SetBoolean(true);
    source.Post();
    Table target(tree.Root(), "dst");
    target.Open();
    target.Append();
    for (int i = 0; i < source.FieldCount(); ++i) {
        target.FieldByName(source.FieldAt(i).Name()).AssignFrom(source.FieldAt(i));
    }
    target.Post();
    target.Close();
    target.Open();
    EXPECT_EQ(target.FieldByName("Id").AsText(), "77");
    EXPECT_EQ(target.FieldByName("Memo").AsText(), Pattern(4000, 5));
    EXPECT_EQ(target.FieldByName("Blob").AsBytes(), Pattern(50, 6));
    EXPECT_EQ(target.FieldByName("Amount").AsText(), "12.25");
    EXPECT_EQ(target.FieldByName("When").AsDateTime(), text::EncodeDateTime({ 1999, 12, 31 }));
    EXPECT_EQ(target.FieldByName("Flag").AsText(), "True");
    // Replacing a value frees the old one and keeps the rest intact.
    target.Edit();
    target.FieldByName("Memo").SetText("short");
    target.Post();
    EXPECT_EQ(target.FieldByName("Memo").AsText(), "short");
    EXPECT_EQ(target.FieldByName("Blob").AsBytes(), Pattern(50, 6));
}

TEST(ParadoxWrite, EmptyTableRemovesEveryRecord)
{
    TempTree tree;
    Table::Create(tree.Root(), "KW_Uploads.DB", { { "ID", FieldType::Long }, { "Note", FieldType::Memo, 10 } }, 1);
    {
        Table table(tree.Root(), "KW_Uploads.DB");
        table.Open();
        for (int i = 0; i < 300; ++i) {
            table.Append();
            table.FieldAt(0).SetInteger(i);
            table.FieldAt(1).SetText(Pattern(3000, i));
            table.Post();
        }
        EXPECT_THROW(Table::EmptyTable(tree.Root(), "kw_uploads.db"), TableError); // still open here
    }
    Table::EmptyTable(tree.Root(), "kw_uploads.db");
    EXPECT_EQ(ReadFile(tree.Path("KW_Uploads.DB")).size(), 0x800u);
    EXPECT_EQ(ReadFile(tree.Path("KW_Uploads.MB")).size(), 4096u);
    ExpectConsistent(tree.Path("KW_Uploads.DB"), tree.Path("KW_Uploads.PX"), 4);
    Table table(tree.Root(), "KW_Uploads.DB");
    table.Open();
    EXPECT_EQ(table.RecordCount(), 0);
    table.Append();
    table.FieldAt(0).SetInteger(1);
    table.FieldAt(1).SetText(Pattern(3000, 1));
    table.Post();
    EXPECT_EQ(table.FieldAt(1).AsText(), Pattern(3000, 1));
}

TEST(ParadoxWrite, OpensFollowTheSharingRules)
{
    TempTree tree;
    Table::Create(tree.Root(), "Claims.DB", { { "ClaimID", FieldType::Long } }, 1);
    Table first(tree.Root(), "claims.db");
    Table second(tree.Root(), "CLAIMS.DB");
    first.Open(OpenMode::Shared);
    second.Open(OpenMode::Shared);
    second.Close();
    EXPECT_THROW(second.Open(OpenMode::Exclusive), TableError);
    first.Close();
    first.Open(OpenMode::Exclusive);
    EXPECT_THROW(second.Open(OpenMode::Shared), TableError);
    first.Close();

    // Another process holding the table shared keeps an exclusive open out, and the reverse.
    for (OpenMode childMode : { OpenMode::Shared, OpenMode::Exclusive }) {
        int ready[2];
        int release[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(release), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Table table(tree.Root(), "Claims.DB");
            table.Open(childMode);
            char byte = 'r';
            (void)::write(ready[1], &byte, 1);
            (void)::read(release[0], &byte, 1);
            ::_exit(0);
        }
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        Table table(tree.Root(), "Claims.DB");
        EXPECT_THROW(table.Open(OpenMode::Exclusive), TableError);
        if (childMode == OpenMode::Exclusive) {
            EXPECT_THROW(table.Open(OpenMode::Shared), TableError);
        } else {
            EXPECT_NO_THROW(table.Open(OpenMode::Shared));
        }
        (void)::write(release[1], &byte, 1);
        int status = 0;
        ::waitpid(child, &status, 0);
        for (int fd : { ready[0], ready[1], release[0], release[1] }) {
            ::close(fd);
        }
    }
}

TEST(ParadoxWrite, TwoWritersSeeEachOthersPosts)
{
    TempTree tree;
    Table::Create(tree.Root(), "Shared.DB", { { "K", FieldType::Long }, { "V", FieldType::Alpha, 10 } }, 1);
    Table a(tree.Root(), "Shared.DB");
    Table b(tree.Root(), "Shared.DB");
    a.Open();
    b.Open();
    for (int i = 0; i < 200; ++i) {
        Table& writer = i % 2 == 0 ? a : b;
        writer.Append();
        writer.FieldAt(0).SetInteger(1000 - i);
        writer.FieldAt(1).SetText(i % 2 == 0 ? "a" : "b");
        writer.Post();
    }
    ASSERT_TRUE(a.FindKey(1000));
    a.Edit();
    a.FieldAt(1).SetText("edited");
    a.Post();
    b.Refresh();
    EXPECT_EQ(b.RecordCount(), 200);
    ASSERT_TRUE(b.FindKey(1000));
    EXPECT_EQ(b.FieldAt(1).AsText(), "edited");
    b.Delete();
    ASSERT_TRUE(a.FindKey(999));
    a.Refresh();
    EXPECT_EQ(a.RecordCount(), 199);
    a.Close();
    b.Close();
    ExpectConsistent(tree.Path("Shared.DB"), tree.Path("Shared.PX"), 4);
}

// A post writes the record's blocks before the header: a process that dies in between leaves a
// table that reads with the new record, and the next post puts the header right.
TEST(ParadoxWrite, APostCutShortBeforeTheHeaderLeavesAReadableTable)
{
    TempTree tree;
    Table::Create(tree.Root(), "Cut.DB", { { "K", FieldType::Long }, { "Text", FieldType::Alpha, 200 } }, 1);
    Table table(tree.Root(), "Cut.DB");
    table.Open();
    for (int i = 0; i < 10; ++i) {
        table.Append();
        table.FieldAt(0).SetInteger(i);
        table.Post();
    }
    table.Close();
    const std::string before = ReadFile(tree.Path("Cut.DB"));
    table.Open();
    table.Append();
    table.FieldAt(0).SetInteger(10); // the table's tenth block fills, so this one takes a new block
    table.FieldAt(1).SetText("survivor");
    table.Post();
    table.Close();
    std::string after = ReadFile(tree.Path("Cut.DB"));
    ASSERT_GT(after.size(), before.size());
    after.replace(0, 0x78, before.substr(0, 0x78)); // the header as it was before the post
    tree.Write("Cut.DB", after);

    table.Open();
    EXPECT_EQ(table.RecordCount(), 11);
    table.Last();
    EXPECT_EQ(table.FieldAt(1).AsText(), "survivor");
    table.Append();
    table.FieldAt(0).SetInteger(11);
    table.Post();
    table.Close();
    ExpectConsistent(tree.Path("Cut.DB"), tree.Path("Cut.PX"), 4);
}

TEST(ParadoxWrite, DamagedFilesAreErrorsNamingTheFile)
{
    struct Damage
    {
        std::string name;
        std::size_t offset; // where to write `bytes`, or the size to cut to when bytes is empty
        std::string bytes;
    };
    const std::vector<Damage> cases = {
        { "cut inside the header", 0x40, "" },
        { "cut inside the data block", 0x900, "" },
        { "header size past the end", 0x02, std::string("\xFF\x7F", 2) },
        { "block size zero", 0x05, std::string("\x00", 1) },
        { "record size zero", 0x00, std::string("\x00\x00", 2) },
        { "first block beyond the file", 0x0E, std::string("\x07\x00", 2) },
        { "block chain loops", 0x800, std::string("\x01\x00", 2) },
        { "block count overflow", 0x804, std::string("\xF0\x7F", 2) },
        { "field count huge", 0x21, std::string("\xFF\xFF", 2) },
        { "unknown field type", 0x78, std::string("\x63", 1) },
        { "memo locator outside the memo file", 0x800 + 6 + 4 + 240, std::string("\x00\x00\x10\x7F", 4) },
        { "memo slot inconsistent", 0x1000 + 12 + 5 * 63 + 1, std::string("\x7F", 1) },
    };
    for (const auto& damage : cases) {
        SCOPED_TRACE(damage.name);
        TempTree tree;
        wh::test::CopySample(tree, "fields", { "memo.db", "memo.mb", "memo.px" });
        const bool inMemo = damage.name.find("slot") != std::string::npos;
        const std::string path = tree.Path(inMemo ? "memo.mb" : "memo.db");
        std::string bytes = ReadFile(path);
        if (damage.bytes.empty()) {
            bytes.resize(damage.offset);
        } else {
            bytes.replace(damage.offset, damage.bytes.size(), damage.bytes);
        }
        tree.Write(inMemo ? "memo.mb" : "memo.db", bytes);
        try {
            Table table(tree.Root(), "memo.db");
            table.Open();
            for (table.First(); !table.Eof(); table.Next()) {
                (void)table.FieldByName("MEMO").AsText();
            }
            ADD_FAILURE() << "no error";
        } catch (const TableError& error) {
            EXPECT_NE(std::string(error.what()).find("memo."), std::string::npos) << error.what();
        }
    }
}
