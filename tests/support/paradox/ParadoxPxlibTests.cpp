// pxlib, a separate C implementation of the format, as an independent reader and writer: tables
// our engine writes read the same in pxlib, and tables pxlib writes read the same in our engine
// and in `whupload-cli table dump`. pxlib cannot open blob files here, so blobs stay out.
#include "ParadoxTestUtil.h"

#include "common/ChildProcess.h"
#include "support/Errors.h"

#include "common/PxlibReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

using namespace wh;
using namespace wh::paradox;
using wh::test::NewPxlibDoc;
using wh::test::PxDoc;
using wh::test::ReadWithPxlib;
using wh::test::TempTree;

namespace {

// The same rows through our engine, converted to pxlib's forms for dates, times and doubles.
std::vector<std::vector<std::string>> ReadWithEngine(const std::string& folder, const std::string& name)
{
    Table table(folder, name);
    table.Open();
    std::vector<std::vector<std::string>> rows;
    for (table.First(); !table.Eof(); table.Next()) {
        std::vector<std::string> row;
        for (int i = 0; i < table.FieldCount(); ++i) {
            row.push_back(wh::test::PxlibFormOf(table.FieldAt(i)));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::vector<std::string>> Sorted(std::vector<std::vector<std::string>> rows)
{
    std::sort(rows.begin(), rows.end());
    return rows;
}

} // namespace

TEST(ParadoxPxlib, PxlibReadsWhatOurEngineWrites)
{
    // A narrow table (2 KiB blocks, level 5 header) and a wide one (8 KiB blocks, level 7 header).
    for (int wideFields : { 0, 5 }) {
        SCOPED_TRACE(wideFields);
        TempTree tree;
        std::vector<FieldDef> fields
            = { { "Name", FieldType::Alpha, 25 },  { "Small", FieldType::Short },  { "Count", FieldType::Long },
                { "Amount", FieldType::Currency }, { "Ratio", FieldType::Number }, { "Done", FieldType::Logical },
                { "Day", FieldType::Date },        { "At", FieldType::Time },      { "Stamp", FieldType::Timestamp },
                { "Seq", FieldType::AutoInc } };
        for (int w = 0; w < wideFields; ++w) {
            fields.push_back({ "Wide" + std::to_string(w), FieldType::Alpha, 255 });
        }
        Table::Create(tree.Root(), "Mixed.DB", fields);
        {
            Table table(tree.Root(), "Mixed.DB");
            table.Open();
            for (int i = 0; i < 120; ++i) {
                table.Append();
                table.FieldByName("Name").SetText("Claim \xC4 " + std::to_string(i));
                table.FieldByName("Small").SetInteger(i - 60);
                if (i % 7 != 0) {
                    table.FieldByName("Count").SetInteger(i * 100000 - 3);
                    table.FieldByName("Ratio").SetFloat(i / 7.0);
                    table.FieldByName("Day").SetDateTime(
                        text::EncodeDateTime({ 1990 + i % 30, 1 + i % 12, 1 + i % 28 }));
                }
                table.FieldByName("Amount").SetFloat(-0.25 * i);
                table.FieldByName("Done").SetBoolean(i % 3 == 0);
                table.FieldByName("At").SetText(std::to_string(1 + i % 12) + ":15:30 PM");
                table.FieldByName("Stamp").SetDateTime(
                    text::EncodeDateTime({ 2021, 6, 1 + i % 28, i % 24, 30, 0, 250 }));
                for (int w = 0; w < wideFields; ++w) {
                    table.FieldByName("Wide" + std::to_string(w))
                        .SetText(std::string(200 + w, static_cast<char>('a' + i % 26)));
                }
                table.Post();
            }
        }
        const std::string db = wh::test::ReadFile(tree.Path("Mixed.DB"));
        EXPECT_EQ(static_cast<unsigned char>(db[0x05]), wideFields == 0 ? 2u : 8u);
        const auto ours = ReadWithEngine(tree.Root(), "Mixed.DB");
        ASSERT_EQ(ours.size(), 120u);
        EXPECT_EQ(ReadWithPxlib(tree.Path("Mixed.DB")), ours);
    }
}

TEST(ParadoxPxlib, PxlibReadsOurKeyedTableAfterInsertsAndDeletes)
{
    TempTree tree;
    Table::Create(tree.Root(), "Keyed.DB",
                  { { "ID", FieldType::Long }, { "Name", FieldType::Alpha, 60 }, { "Day", FieldType::Date } }, 1);
    {
        Table table(tree.Root(), "Keyed.DB");
        table.Open();
        for (int i = 0; i < 600; ++i) {
            table.Append();
            table.FieldAt(0).SetInteger((i * 7919) % 1000);
            table.FieldAt(1).SetText("row " + std::to_string(i));
            table.FieldAt(2).SetText("07/04/1976");
            table.Post();
        }
        for (int key = 0; key < 1000; key += 3) {
            if (table.FindKey(key)) {
                table.Delete();
            }
        }
    }
    std::set<int> expected;
    for (int i = 0; i < 600; ++i) {
        if ((i * 7919) % 1000 % 3 != 0) {
            expected.insert((i * 7919) % 1000);
        }
    }
    const auto ours = ReadWithEngine(tree.Root(), "Keyed.DB");
    // pxlib walks blocks in file order, which differs from key order after splits.
    EXPECT_EQ(Sorted(ReadWithPxlib(tree.Path("Keyed.DB"))), Sorted(ours));
    ASSERT_EQ(ours.size(), expected.size());
    auto key = expected.begin();
    for (const auto& row : ours) {
        EXPECT_EQ(row[0], std::to_string(*key++));
    }
}

TEST(ParadoxPxlib, OurEngineAndTableDumpReadWhatPxlibWrites)
{
    TempTree tree;
    const std::string path = tree.Path("pxwritten.db");
    {
        PxDoc doc = NewPxlibDoc();
        const int count = 7;
        auto* fields = static_cast<pxfield_t*>(std::calloc(count, sizeof(pxfield_t)));
        const struct
        {
            const char* name;
            char type;
            int length;
        } defs[count]
            = { { "Name", pxfAlpha, 20 },  { "Small", pxfShort, 2 }, { "Count", pxfLong, 4 }, { "Ratio", pxfNumber, 8 },
                { "Done", pxfLogical, 1 }, { "Day", pxfDate, 4 },    { "Note", pxfAlpha, 30 } };
        for (int i = 0; i < count; ++i) {
            fields[i].px_fname = strdup(defs[i].name);
            fields[i].px_ftype = defs[i].type;
            fields[i].px_flen = defs[i].length;
        }
        ASSERT_GE(PX_create_file(doc.get(), fields, count, path.c_str(), pxfFileTypNonIndexDB), 0);
        std::vector<char> record(20 + 2 + 4 + 8 + 1 + 4 + 30);
        for (int r = 0; r < 50; ++r) {
            std::fill(record.begin(), record.end(), 0);
            std::string name = "Name " + std::to_string(r);
            std::string note = r % 5 == 0 ? "line one\nline two" : "";
            PX_put_data_alpha(doc.get(), record.data(), 20, name.data());
            PX_put_data_short(doc.get(), record.data() + 20, 2, static_cast<short>(r - 25));
            PX_put_data_long(doc.get(), record.data() + 22, 4, r * 1000);
            PX_put_data_double(doc.get(), record.data() + 26, 8, r / 4.0);
            PX_put_data_byte(doc.get(), record.data() + 34, 1, r % 2 == 0 ? 1 : 0);
            PX_put_data_long(doc.get(), record.data() + 35, 4, 730120 + r); // day numbers
            if (!note.empty()) {
                PX_put_data_alpha(doc.get(), record.data() + 39, 30, note.data());
            }
            ASSERT_GE(PX_put_record(doc.get(), record.data()), 0);
        }
    }
    const auto theirs = ReadWithPxlib(path);
    ASSERT_EQ(theirs.size(), 50u);
    EXPECT_EQ(ReadWithEngine(tree.Root(), "PXWRITTEN.DB"), theirs);

    // The dump prints the same table: names, then text values with escaped line breaks.
    std::string output;
    ASSERT_EQ(
        wh::test::RunCommand({ std::string(WH_BINARY_DIR) + "/cli/whupload-cli", "table", "dump", path }, &output), 0);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < output.size();) {
        const auto end = output.find('\n', start);
        lines.push_back(output.substr(start, end - start));
        start = end == std::string::npos ? output.size() : end + 1;
    }
    ASSERT_EQ(lines.size(), 51u);
    EXPECT_EQ(lines[0], "Name\tSmall\tCount\tRatio\tDone\tDay\tNote");
    EXPECT_EQ(lines[1], "Name 0\t-25\t0\t0\tTrue\t01/01/2000\tline one\\nline two");
    EXPECT_EQ(lines[3], "Name 2\t-23\t2000\t0.5\tTrue\t01/03/2000\t");

    std::string errors;
    EXPECT_EQ(
        wh::test::RunCommand(
            { std::string(WH_BINARY_DIR) + "/cli/whupload-cli", "table", "dump", tree.Path("missing.db") }, &errors),
        1);
}
