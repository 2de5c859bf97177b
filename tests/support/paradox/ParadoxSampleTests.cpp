// Tables written by the original engine: every sample reads with the values of the manifest
// (paradox-samples/EXPECTED.md), and the primary index our engine writes matches the original.
#include "ParadoxTestUtil.h"

#include "support/Errors.h"
#include "support/paradox/KeyIndex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>

using namespace wh;
using namespace wh::paradox;
using wh::test::ReadAll;
using wh::test::SamplesDir;

namespace {

struct SampleCase
{
    std::string path;
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> rows;
};

const std::vector<SampleCase>& SampleCases()
{
    static const std::vector<SampleCase> cases = {
        { "fields/bcd.db",
          { "A", "B", "C" },
          { { "1.23", "1", "0.123" }, { "-1.23", "-1", "-0.123" }, { "0", "", "0.9999" } } },
        { "fields/date35.db", { "DATE" }, { { "01/01/2018" }, { "02/01/2018" }, { "01/02/2018" } } },
        { "fields/date4.db", { "DATE" }, { { "01/01/2018" }, { "02/01/2018" }, { "01/02/2018" } } },
        { "fields/date5.db",
          { "DATE", "TIME" },
          { { "01/01/2018", "10:00:00 AM" }, { "02/01/2018", "10:30:00 AM" }, { "01/02/2018", "9:25:25 AM" } } },
        { "fields/date7.db",
          { "DATE", "TIME" },
          { { "01/01/2018", "10:00:00 AM" },
            { "02/01/2018", "10:30:00 AM" },
            { "01/02/2018", "9:25:25 AM" },
            { "", "10:00:00 AM" },
            { "01/01/2018", "" } } },
        { "fields/logical.db", { "BOOL" }, { { "True" }, { "False" }, { "True" }, { "True" } } },
        { "fields/long.db", { "Id", "LONG" }, { { "1", "1" }, { "2", "2" }, { "3", "" } } },
        { "fields/time.db", { "Time" }, { { "1:00:01 AM" }, { "" }, { "3:00:03 AM" } } },
        { "fields/timestamp.db", { "Timestamp" }, { { "" }, { "02/01/2020 1:00:01 AM" } } },
        { "fields/graphic.db", { "Id", "Graphic", "Type" }, {} }, // rows checked with the blobs
        { "joins/A.db", { "A" }, { { "1" }, { "2" }, { "3" } } },
        { "joins/B.db", { "B" }, { { "4" }, { "5" }, { "6" } } },
        { "joins/C.DB", { "C", "A", "B" }, { { "1", "1", "4" }, { "2", "2", "5" }, { "3", "3", "6" } } },
        { "joins/case.db", { "C" }, { { "case" } } },
        { "joins/destination.db", { "ID", "NAME" }, { { "1", "Test" } } },
        { "joins/fk4.db", { "ID", "FK1", "B1", "FK" }, { { "1", "", "1", "" }, { "2", "", "2", "" } } },
        { "joins/joina.db", { "ID" }, { { "1" }, { "2" }, { "3" } } },
        { "joins/joinb.db", { "Id" }, { { "2" }, { "3" }, { "4" } } },
        { "joins/origin.db", { "ID", "FK" }, { { "1", "1" } } },
        { "joins/fk1.db", { "ID", "FK" }, {} },
        { "joins/indexed.db", { "Indexed" }, {} },
        { "joins/multiple.db", { "ID", "FK", "A", "FK2" }, {} },
        { "joins/paradox-ascii.db", { "A" }, {} },
        { "joins/primary.db", { "ID", "Name" }, {} },
        { "joins/two.db", { "ID1", "ID2", "Name" }, {} },
    };
    return cases;
}

} // namespace

TEST(ParadoxSamples, EveryTableReadsAsListed)
{
    for (const auto& sample : SampleCases()) {
        SCOPED_TRACE(sample.path);
        const auto slash = sample.path.find('/');
        Table table(SamplesDir() + "/" + sample.path.substr(0, slash), sample.path.substr(slash + 1));
        table.Open(OpenMode::Shared);
        std::vector<std::string> names;
        for (int i = 0; i < table.FieldCount(); ++i) {
            names.push_back(table.FieldAt(i).Name());
        }
        EXPECT_EQ(names, sample.names);
        if (sample.path == "fields/graphic.db") {
            EXPECT_EQ(table.RecordCount(), 3);
            continue;
        }
        EXPECT_EQ(table.RecordCount(), static_cast<std::int64_t>(sample.rows.size()));
        EXPECT_EQ(ReadAll(table), sample.rows);
    }
}

TEST(ParadoxSamples, TypedValuesMatchTheManifest)
{
    Table dates(SamplesDir() + "/fields", "DATE7.DB"); // file names resolve without regard to case
    dates.Open();
    EXPECT_EQ(dates.FieldByName("date").AsDateTime(), text::EncodeDateTime({ 2018, 1, 1 }));
    EXPECT_DOUBLE_EQ(dates.FieldByName("TIME").AsDateTime().value, 36000000.0 / 86400000.0);
    dates.Last();
    EXPECT_TRUE(dates.FieldByName("TIME").IsNull());
    EXPECT_EQ(dates.FieldByName("TIME").AsDateTime(), text::DateTime {});

    Table stamps(SamplesDir() + "/fields", "timestamp.db");
    stamps.Open();
    EXPECT_TRUE(stamps.FieldAt(0).IsNull());
    stamps.Next();
    EXPECT_EQ(stamps.FieldAt(0).AsDateTime(), text::EncodeDateTime({ 2020, 2, 1, 1, 0, 1 }));

    Table bcd(SamplesDir() + "/fields", "bcd.db");
    bcd.Open();
    const double expected[3][3] = { { 1.23, 1.0, 0.123 }, { -1.23, -1.0, -0.123 }, { 0.0, 0.0, 0.9999 } };
    int row = 0;
    for (bcd.First(); !bcd.Eof(); bcd.Next(), ++row) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(bcd.FieldAt(i).AsFloat(), expected[row][i], 0.001) << row << "," << i;
        }
    }

    Table bytes(SamplesDir() + "/fields", "bytes.db");
    bytes.Open();
    EXPECT_EQ(bytes.FieldAt(0).AsBytes(),
              std::string("1\0"
                          "2\0"
                          "3",
                          5)
                  + std::string(250, '\0'));

    Table logical(SamplesDir() + "/fields", "logical.db");
    logical.Open();
    EXPECT_TRUE(logical.FieldAt(0).AsBoolean());
    EXPECT_EQ(logical.FieldAt(0).AsInteger(), 1);
    EXPECT_EQ(logical.CodePage(), 1252);
}

TEST(ParadoxSamples, MemoAndBlobValuesMatchTheManifest)
{
    struct BlobCase
    {
        std::string table;
        std::string field;
        int record;
        std::size_t length;
        std::uint32_t crc;
    };
    const std::vector<BlobCase> cases = {
        { "memo.db", "MEMO", 0, 555, 0xcad8063a },           { "memo.db", "MEMO", 1, 12, 0xe6ea4c4d },
        { "fmemo.db", "FMEMO", 0, 169, 0x7aef6cf9 },         { "fmemo.db", "FMEMO", 1, 726, 0x0da0bafb },
        { "graphic.db", "Graphic", 0, 20086, 0x888b7c8e },   { "graphic.db", "Graphic", 1, 9626, 0xcf71e29d },
        { "graphic.db", "Graphic", 2, 2074686, 0x092e0a52 }, { "graphic240.db", "Graph", 0, 20086, 0x888b7c8e },
        { "ole.db", "OLE", 0, 365928, 0x8a353981 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table + " " + std::to_string(c.record));
        Table table(SamplesDir() + "/fields", c.table);
        table.Open();
        for (int i = 0; i < c.record; ++i) {
            table.Next();
        }
        const std::string value = table.FieldByName(c.field).AsBytes();
        EXPECT_EQ(value.size(), c.length);
        EXPECT_EQ(wh::test::Crc32(value), c.crc);
        if (c.table == "graphic.db" && c.record == 1) {
            EXPECT_EQ(value.substr(11, 4), std::string("\x25\0\0\0", 4));
        }
    }
    Table memo(SamplesDir() + "/fields", "memo.db");
    memo.Open();
    ASSERT_TRUE(memo.FindKey(2));
    EXPECT_EQ(memo.FieldByName("memo").AsText(), "01234567890\n");
    Table graphic(SamplesDir() + "/fields", "graphic.db");
    graphic.Open();
    ASSERT_TRUE(graphic.FindKey(3));
    EXPECT_TRUE(graphic.FieldByName("Type").IsNull());
    EXPECT_EQ(graphic.FieldByName("Type").AsText(), "");
}

TEST(ParadoxSamples, EncryptedTablesAreRefusedWithAClearMessage)
{
    for (const char* name : { "encrypted.db", "encrypted35.db", "encryptedmemo.db" }) {
        Table table(SamplesDir() + "/encrypt", name);
        try {
            table.Open();
            ADD_FAILURE() << name << " opened";
        } catch (const TableError& error) {
            EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("password"), std::string::npos) << error.what();
        }
    }
}

// For each keyed sample: a post rewrites the primary index from the data, and the result holds
// the same entries as the original engine's; the counters move in step as the samples show.
TEST(ParadoxSamples, RebuiltPrimaryIndexEqualsTheOriginal)
{
    struct KeyedCase
    {
        std::string sub;
        std::string db;
        std::string px;
        std::vector<std::string> extra;
        std::string field; // a non-key field to post unchanged
    };
    const std::vector<KeyedCase> cases = {
        { "fields", "long.db", "long.px", {}, "LONG" },
        { "fields", "memo.db", "memo.px", { "memo.mb" }, "" },
        { "fields", "graphic.db", "graphic.px", { "graphic.mb" }, "Type" },
        { "joins", "C.DB", "C.PX", {}, "B" },
        { "joins", "fk4.db", "fk4.px", {}, "FK" },
        { "joins", "A.db", "A.PX", {}, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.db);
        wh::test::TempTree tree;
        std::vector<std::string> files = { c.db, c.px };
        files.insert(files.end(), c.extra.begin(), c.extra.end());
        wh::test::CopySample(tree, c.sub, files);
        const std::string originalDb = wh::test::ReadFile(tree.Path(c.db));
        const std::string originalPx = wh::test::ReadFile(tree.Path(c.px));
        {
            Table table(tree.Root(), c.db);
            table.Open(OpenMode::Exclusive);
            table.Edit();
            if (!c.field.empty()) {
                table.FieldByName(c.field).AssignFrom(table.FieldByName(c.field));
            }
            table.Post();
            table.Close();
        }
        const std::string db = wh::test::ReadFile(tree.Path(c.db));
        const std::string px = wh::test::ReadFile(tree.Path(c.px));
        const std::size_t keySize = wh::test::U16At(originalPx, 0) - 6;
        EXPECT_EQ(wh::test::LevelOneEntries(px), wh::test::LevelOneEntries(originalPx));
        EXPECT_EQ(wh::test::LevelOneEntries(px), wh::test::EntriesFromData(db, keySize));
        EXPECT_TRUE(db.substr(0x800) == originalDb.substr(0x800)); // the records are untouched
        EXPECT_EQ(px.size(), originalPx.size());
        // The index counter keeps its distance to the table's, and both moved.
        const int before = static_cast<unsigned char>(originalPx[0x2C]) - static_cast<unsigned char>(originalDb[0x2D]);
        const int after = static_cast<unsigned char>(px[0x2C]) - static_cast<unsigned char>(db[0x2D]);
        EXPECT_EQ((after - before + 256) % 256, 0);
        EXPECT_NE(db[0x2D], originalDb[0x2D]);
        EXPECT_GE(static_cast<unsigned char>(db[0x2D]), 2);
        EXPECT_EQ(wh::test::U32At(px, 0x06), wh::test::U32At(originalPx, 0x06));
    }
}

// The index reader reads the original engine's primary indexes: their leaves are the data blocks.
TEST(ParadoxSamples, IndexReaderReadsTheOriginalIndexes)
{
    for (const auto& [sub, db, px] :
         std::vector<std::tuple<std::string, std::string, std::string>> { { "fields", "long.db", "long.px" },
                                                                          { "fields", "memo.db", "memo.px" },
                                                                          { "joins", "C.DB", "C.PX" },
                                                                          { "joins", "B.db", "B.PX" } }) {
        SCOPED_TRACE(db);
        const std::string pxBytes = wh::test::ReadFile(SamplesDir() + "/" + sub + "/" + px);
        const auto levels = ReadKeyIndex(SamplesDir() + "/" + sub + "/" + px);
        ASSERT_EQ(levels.size(), static_cast<unsigned char>(pxBytes[0x20]));
        ASSERT_FALSE(levels.empty());
        std::vector<wh::test::IndexEntry> leaves;
        for (const auto& entry : levels.front()) {
            leaves.push_back(
                { std::string(entry.key.begin(), entry.key.end()), entry.block, static_cast<int>(entry.count) });
        }
        EXPECT_EQ(leaves, wh::test::LevelOneEntries(pxBytes));
        const std::string dbBytes = wh::test::ReadFile(SamplesDir() + "/" + sub + "/" + db);
        EXPECT_EQ(leaves, wh::test::EntriesFromData(dbBytes, wh::test::U16At(pxBytes, 0) - 6));
    }
}

// Inserts and deletes in the original engine's keyed tables keep the family's counters in step.
TEST(ParadoxSamples, ChangedKeyedSamplesKeepTheirCountersInStep)
{
    for (const auto& [sub, db, px] : std::vector<std::tuple<std::string, std::string, std::string>> {
             { "fields", "long.db", "long.px" }, { "joins", "C.DB", "C.PX" }, { "joins", "B.db", "B.PX" } }) {
        SCOPED_TRACE(db);
        wh::test::TempTree tree;
        wh::test::CopySample(tree, sub, { db, px });
        const std::string originalDb = wh::test::ReadFile(tree.Path(db));
        const std::string originalPx = wh::test::ReadFile(tree.Path(px));
        {
            Table table(tree.Root(), db);
            table.Open(OpenMode::Exclusive);
            table.Append();
            table.FieldAt(0).SetInteger(100);
            table.Post();
            table.First();
            table.Delete();
            EXPECT_EQ(table.RecordCount(), 3);
        }
        const std::string changedDb = wh::test::ReadFile(tree.Path(db));
        const std::string changedPx = wh::test::ReadFile(tree.Path(px));
        const std::size_t keySize = wh::test::U16At(originalPx, 0) - 6;
        const auto entries = wh::test::LevelOneEntries(changedPx);
        EXPECT_EQ(entries, wh::test::EntriesFromData(changedDb, keySize));
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].count, 3);
        EXPECT_EQ(wh::test::U32At(changedDb, 0x06), 3u);
        // Two changes: both counters moved by two and kept their distance.
        const auto distance = [](const std::string& d, const std::string& p) {
            return (static_cast<unsigned char>(p[0x2C]) - static_cast<unsigned char>(d[0x2D]) + 256) % 256;
        };
        EXPECT_EQ(distance(changedDb, changedPx), distance(originalDb, originalPx));
        EXPECT_EQ((static_cast<unsigned char>(changedDb[0x2D]) - static_cast<unsigned char>(originalDb[0x2D]) + 256)
                      % 256,
                  2);
        EXPECT_EQ(changedDb[0x2E], originalDb[0x2E]); // the .VAL link stays
        Table reopened(tree.Root(), db);
        reopened.Open();
        reopened.Last();
        EXPECT_EQ(reopened.FieldAt(0).AsInteger(), 100);
    }
}
