#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "support/paradox/ParadoxTestUtil.h"
#include "support/paradox/Table.h"

#include <string>
#include <vector>

using namespace wh;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

struct CliResult
{
    int code = -1;
    std::string out;
    std::string err;
};

// Runs whupload-cli with standard error sent to a file of the tree, so both streams can be read.
CliResult RunCli(const test::TempTree& tree, std::vector<std::string> args)
{
    const std::string errPath = tree.Path("stderr.txt");
    std::vector<std::string> argv = { "/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", errPath, kCli };
    argv.insert(argv.end(), args.begin(), args.end());
    CliResult result;
    result.code = test::RunCommand(argv, &result.out);
    result.err = test::ReadFile(errPath);
    return result;
}

const std::vector<std::string> kCFamily = { "C.DB", "C.PX", "C.VAL", "C.X02", "C.X03", "C.Y02", "C.Y03" };
const std::vector<std::string> kFk4Family = { "fk4.db", "fk4.px", "fk4.val", "fk4.XG0", "fk4.YG0" };

std::string LastLine(const std::string& output)
{
    const std::string trimmed = output.substr(0, output.find_last_not_of('\n') + 1);
    const auto newline = trimmed.find_last_of('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

} // namespace

// Times of day in a dump: a 24-hour clock with every part, midnight included, empty stays empty.
TEST(TableDump, TimesUseTheTwentyFourHourClock)
{
    test::TempTree tree;
    paradox::Table::Create(tree.Root(), "times.db",
                           { { "Stamp", paradox::FieldType::Timestamp, 0 }, { "At", paradox::FieldType::Time, 0 } });
    {
        paradox::Table table(tree.Root(), "times.db");
        table.Open(paradox::OpenMode::Exclusive);
        const auto add = [&](text::DateParts stamp, text::DateParts at) {
            table.Append();
            table.FieldByName("Stamp").SetDateTime(text::EncodeDateTime(stamp));
            table.FieldByName("At").SetDateTime(text::DateTime { text::EncodeDateTime(at).value });
            table.Post();
        };
        add({ 2020, 2, 1, 13, 0, 1 }, { 1899, 12, 30, 21, 5, 9 });
        add({ 2020, 2, 2, 0, 0, 0 }, { 1899, 12, 30, 0, 0, 0 });
        table.Append();
        table.Post();
    }
    std::string output;
    ASSERT_EQ(test::RunCommand({ WH_BINARY_DIR "/cli/whupload-cli", "table", "dump", tree.Path("times.db") }, &output),
              0);
    EXPECT_EQ(output, "Stamp\tAt\n02/01/2020 13:00:01\t21:05:09\n02/02/2020 00:00:00\t00:00:00\n\t\n");
}

// An index of the original engine's samples, named by file name, extension or index name in any
// case, dumps in its own order (C.X03 sorts by B, not by the key C).
TEST(TableDump, IndexRowsInIndexOrder)
{
    const std::string cX03 = "B\tC\tBlk Num\n4\t1\t1\n5\t2\t1\n6\t3\t1\n";
    const std::string cX02 = "A\tC\tBlk Num\n1\t1\t1\n2\t2\t1\n3\t3\t1\n";
    const std::string fk4 = "FK1\tFK\tID\tBlk Num\n\t\t1\t1\n\t\t2\t1\n";
    struct Case
    {
        std::string table;
        std::string index;
        std::string expected;
    };
    const std::vector<Case> cases = {
        { "C.DB", "C.X03", cX03 },    { "C.DB", "c.x03", cX03 },      { "C.DB", "x03", cX03 },
        { "C.DB", "X02", cX02 },      { "fk4.db", "reference", fk4 }, { "fk4.db", "REFERENCE", fk4 },
        { "fk4.db", "fk4.xg0", fk4 }, { "fk4.db", "XG0", fk4 },
    };
    test::TempTree tree;
    test::CopySample(tree, "joins", kCFamily);
    test::CopySample(tree, "joins", kFk4Family);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table + " --index " + c.index);
        const CliResult result = RunCli(tree, { "table", "dump", tree.Path(c.table), "--index", c.index });
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_EQ(result.out, c.expected);
    }
}

// A name that is no index of the table is refused with the list of the indexes there are.
TEST(TableDump, UnknownIndexListsTheTablesIndexes)
{
    test::TempTree tree;
    test::CopySample(tree, "joins", kCFamily);
    const CliResult result = RunCli(tree, { "table", "dump", tree.Path("C.DB"), "--index", "X04" });
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("\"X04\""), std::string::npos) << result.err;
    for (const char* listed : { "C.X02", "C.X03" }) {
        EXPECT_NE(result.err.find(listed), std::string::npos) << result.err;
    }
}

// A writer that died after the table's own files but before its index writes leaves the index a
// record behind: check names that index and fails, rebuild-indexes mends it, check passes again.
TEST(TableCheck, StaleIndexIsFoundAndRebuilt)
{
    test::TempTree tree;
    test::CopySample(tree, "joins", kCFamily);
    const std::string db = tree.Path("C.DB");

    CliResult result = RunCli(tree, { "table", "check", db });
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, "consistent\n");

    const std::string x02 = test::ReadFile(tree.Path("C.X02"));
    const std::string y02 = test::ReadFile(tree.Path("C.Y02"));
    {
        paradox::Table table(tree.Root(), "C.DB");
        table.Open(paradox::OpenMode::Exclusive);
        table.Append();
        table.FieldByName("C").SetInteger(4);
        table.FieldByName("A").SetInteger(0);
        table.FieldByName("B").SetInteger(7);
        table.Post();
    }
    tree.Write("C.X02", x02);
    tree.Write("C.Y02", y02);

    result = RunCli(tree, { "table", "check", db });
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.out.find("C.X02"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("C.X03"), std::string::npos) << result.out; // kept current by the append
    const std::size_t lines = test::CountOf(result.out, "\n");
    EXPECT_EQ(LastLine(result.out), std::to_string(lines - 1) + " difference(s)") << result.out;
    EXPECT_NE(result.err.find("rebuild-indexes"), std::string::npos) << result.err;

    // Refused while another program has the table open, and nothing is written.
    {
        paradox::Table other(tree.Root(), "C.DB");
        other.Open(paradox::OpenMode::Shared);
        result = RunCli(tree, { "table", "rebuild-indexes", db });
        EXPECT_EQ(result.code, 1);
        EXPECT_NE(result.err.find("in use"), std::string::npos) << result.err;
        EXPECT_EQ(test::ReadFile(tree.Path("C.X02")), x02);
    }

    result = RunCli(tree, { "table", "rebuild-indexes", db });
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find("rebuilt C.X02"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("rebuilt C.X03"), std::string::npos) << result.out;

    result = RunCli(tree, { "table", "check", db });
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "consistent\n");
    result = RunCli(tree, { "table", "dump", db, "--index", "C.X02" });
    EXPECT_EQ(result.out, "A\tC\tBlk Num\n0\t4\t1\n1\t1\t1\n2\t2\t1\n3\t3\t1\n");
}

// A non-maintained index is out of date by design: a note, not a difference.
TEST(TableCheck, NonMaintainedIndexIsANote)
{
    test::TempTree tree;
    test::CopySample(tree, "joins", { "case.db", "case.x01", "case.y01" });
    const CliResult result = RunCli(tree, { "table", "check", tree.Path("case.db") });
    EXPECT_EQ(result.code, 0) << result.err;
    const auto note = result.out.find("note: ");
    ASSERT_NE(note, std::string::npos) << result.out;
    const std::string noteLine = result.out.substr(note, result.out.find('\n', note) - note);
    EXPECT_NE(noteLine.find("case.x01"), std::string::npos) << noteLine;
    EXPECT_NE(noteLine.find("not maintained"), std::string::npos) << noteLine;
    EXPECT_EQ(LastLine(result.out), "consistent");
}

// A .DB that cannot be opened: its message on standard error, no verdict, exit 1.
TEST(TableCheck, DamagedTableIsAnError)
{
    test::TempTree tree;
    const std::string db = tree.Write("broken.db", std::string(100, '\x7f'));
    const CliResult result = RunCli(tree, { "table", "check", db });
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("broken.db"), std::string::npos) << result.err;
}

// A maintained index of a shape this engine cannot keep (a composite over an alpha field, whose
// letter-case order is unknown) is left unchecked with a note, and rebuilding it is refused before
// anything is written.
TEST(TableCheck, IndexShapeThatCannotBeKeptIsRefused)
{
    test::TempTree tree;
    paradox::Table::Create(tree.Root(), "names.db",
                           { { "Id", paradox::FieldType::Long, 0 }, { "Name", paradox::FieldType::Alpha, 10 } }, 1);
    {
        paradox::Table table(tree.Root(), "names.db");
        table.Open(paradox::OpenMode::Exclusive);
        table.Append();
        table.FieldByName("Id").SetInteger(1);
        table.FieldByName("Name").SetText("b");
        table.Post();
    }
    paradox::SecondaryIndexDef def;
    def.fields = { 1 };
    def.composite = true;
    def.name = "ByName";
    def.maintained = false;
    const std::string file = paradox::Table::AddSecondaryIndex(tree.Root(), "names.db", def);
    // The original engine makes such indexes maintained: file type 8 instead of 6.
    std::string bytes = test::ReadFile(tree.Path(file));
    bytes.at(4) = '\x08';
    tree.Write(file, bytes);

    CliResult result = RunCli(tree, { "table", "check", tree.Path("names.db") });
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find("note: "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(file), std::string::npos) << result.out;
    EXPECT_EQ(LastLine(result.out), "consistent");

    result = RunCli(tree, { "table", "rebuild-indexes", tree.Path("names.db") });
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find(file), std::string::npos) << result.err;
    EXPECT_EQ(test::ReadFile(tree.Path(file)), bytes);
}
