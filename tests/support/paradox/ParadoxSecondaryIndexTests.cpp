// Secondary indexes: rebuilt from the records, they equal the original engine's files; every write
// keeps the maintained ones current and leaves the others marked out of date; shapes the engine
// cannot keep make a table read-only before anything is written.
#include "ParadoxTestUtil.h"

#include "support/Errors.h"
#include "support/paradox/SecondaryIndex.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

using namespace wh;
using namespace wh::paradox;
using wh::test::ReadFile;
using wh::test::TempTree;

namespace {

struct SampleFamily
{
    std::string db;
    std::vector<std::string> files; // the whole family, the .DB first
};

// The original engine's families whose maintained indexes are current.
const std::vector<SampleFamily>& MaintainedSamples()
{
    static const std::vector<SampleFamily> families = {
        { "C.DB", { "C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03" } },
        { "fk1.db", { "fk1.db", "fk1.px", "fk1.x02", "fk1.y02" } },
        { "fk2.db", { "fk2.db", "fk2.px", "fk2.x02", "fk2.y02" } },
        { "fk3.db", { "fk3.db", "fk3.px", "fk3.x03", "fk3.y03" } },
        { "fk4.db", { "fk4.db", "fk4.px", "fk4.XG0", "fk4.YG0" } },
        { "multiple.db",
          { "multiple.db", "multiple.PX", "multiple.X02", "multiple.Y02", "multiple.X04", "multiple.Y04" } },
        { "to_multiple.db", { "to_multiple.db", "to_multiple.px", "to_multiple.X02", "to_multiple.Y02" } },
    };
    return families;
}

std::vector<std::string> ReadFamily(const TempTree& tree, const std::vector<std::string>& files)
{
    std::vector<std::string> bytes;
    for (const std::string& name : files) {
        bytes.push_back(ReadFile(tree.Path(name)));
    }
    return bytes;
}

bool IsIndexData(const std::string& name)
{
    return std::toupper(static_cast<unsigned char>(name[name.size() - 3])) == 'X';
}

bool IsIndexIndex(const std::string& name)
{
    return std::toupper(static_cast<unsigned char>(name[name.size() - 3])) == 'Y';
}

// The rows of one secondary index in its order, each field as text.
std::vector<std::vector<std::string>> IndexRows(Table& table, const std::string& fileName)
{
    for (SecondaryIndex* index : table.SecondaryIndexes()) {
        if (index->FileName() == fileName) {
            EXPECT_NE(index->Rows(), nullptr) << index->Unsupported();
            return index->Rows() ? test::ReadAll(*index->Rows()) : std::vector<std::vector<std::string>> {};
        }
    }
    ADD_FAILURE() << "no index " << fileName;
    return {};
}

} // namespace

// A rebuild from the records writes the original engine's files again. The only bytes that move
// are the two change counters a rebuild is meant to move: the index file's own (0x2D) and, in step
// with it, its .Ynn's (0x2C). The table's own files are not touched.
TEST(ParadoxSecondaryIndex, RebuildOfEverySampleEqualsTheOriginalFiles)
{
    for (const SampleFamily& family : MaintainedSamples()) {
        SCOPED_TRACE(family.db);
        TempTree tree;
        test::CopySample(tree, "joins", family.files);
        const std::vector<std::string> before = ReadFamily(tree, family.files);
        {
            Table table(tree.Root(), family.db);
            table.Open(OpenMode::Exclusive);
            for (SecondaryIndex* index : table.SecondaryIndexes()) {
                EXPECT_TRUE(index->IsMaintained()) << index->FileName();
                EXPECT_EQ(index->Unsupported(), "") << index->FileName();
                EXPECT_EQ(index->Differences(), std::vector<std::string> {}) << index->FileName();
            }
            const Table::CheckReport report = table.Check();
            EXPECT_EQ(report.differences, std::vector<std::string> {});
            table.RebuildSecondaryIndexes();
        }
        const std::vector<std::string> after = ReadFamily(tree, family.files);
        for (std::size_t i = 0; i < family.files.size(); ++i) {
            const std::string& name = family.files[i];
            SCOPED_TRACE(name);
            std::string expected = before[i];
            if (IsIndexData(name)) {
                expected[0x2D] = static_cast<char>(expected[0x2D] + 1);
            } else if (IsIndexIndex(name)) {
                expected[0x2C] = static_cast<char>(expected[0x2C] + 1);
            }
            ASSERT_EQ(after[i].size(), expected.size());
            for (std::size_t b = 0; b < expected.size(); ++b) {
                EXPECT_EQ(static_cast<int>(static_cast<unsigned char>(after[i][b])),
                          static_cast<int>(static_cast<unsigned char>(expected[b])))
                    << "byte 0x" << std::hex << b;
            }
        }
    }
}

// The rows of the samples' indexes, read in index order, as the format notes decode them.
TEST(ParadoxSecondaryIndex, SampleIndexesReadInTheirOrder)
{
    TempTree tree;
    test::CopySample(tree, "joins", { "C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03" });
    test::CopySample(tree, "joins", { "fk4.db", "fk4.px", "fk4.XG0", "fk4.YG0" });
    test::CopySample(tree, "joins", { "indexed.db", "indexed.xg0", "indexed.yg0" });
    Table c(tree.Root(), "C.DB");
    c.Open();
    using Rows = std::vector<std::vector<std::string>>;
    EXPECT_EQ(IndexRows(c, "C.X02"), (Rows { { "1", "1", "1" }, { "2", "2", "1" }, { "3", "3", "1" } }));
    EXPECT_EQ(IndexRows(c, "C.X03"), (Rows { { "4", "1", "1" }, { "5", "2", "1" }, { "6", "3", "1" } }));
    Table fk4(tree.Root(), "fk4.db");
    fk4.Open();
    EXPECT_EQ(IndexRows(fk4, "fk4.XG0"), (Rows { { "", "", "1", "1" }, { "", "", "2", "1" } }));
    const auto indexes = fk4.SecondaryIndexes();
    ASSERT_EQ(indexes.size(), 1u);
    EXPECT_EQ(indexes[0]->Name(), "reference");
    Table indexed(tree.Root(), "indexed.db");
    indexed.Open();
    const auto descending = indexed.SecondaryIndexes();
    ASSERT_EQ(descending.size(), 1u);
    EXPECT_EQ(descending[0]->Name(), "Descending");
    EXPECT_FALSE(descending[0]->IsMaintained());
    EXPECT_EQ(IndexRows(indexed, "indexed.xg0"), Rows {});
}

// Appends, edits of an indexed field and of the key, and deletes: after each, both maintained
// indexes of C hold exactly the entries the records call for, in order, with the right hints, and
// repeat the primary index's change counter as the original engine's current indexes do.
TEST(ParadoxSecondaryIndex, EveryWriteKeepsMaintainedIndexesCurrent)
{
    TempTree tree;
    test::CopySample(tree, "joins", { "C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03" });
    Table table(tree.Root(), "C.DB");
    table.Open(OpenMode::Exclusive);
    auto expectCurrent = [&](const std::string& step) {
        SCOPED_TRACE(step);
        EXPECT_EQ(table.Check().differences, std::vector<std::string> {});
        const std::string px = ReadFile(tree.Path("C.PX"));
        for (const char* name : { "C.X02", "C.X03" }) {
            EXPECT_EQ(ReadFile(tree.Path(name))[0x2F], px[0x2C]) << name;
        }
    };
    // C is keyed on C; X02 indexes A, X03 indexes B.
    for (int c = 10; c <= 400; ++c) {
        table.Append();
        table.FieldByName("C").SetInteger(c);
        table.FieldByName("A").SetInteger(1000 - c);
        table.FieldByName("B").SetInteger(c % 7);
        table.Post();
    }
    expectCurrent("appends over several blocks");
    ASSERT_TRUE(table.FindKey(200));
    table.Edit();
    table.FieldByName("A").SetInteger(-5);
    table.Post();
    expectCurrent("an indexed field changed");
    ASSERT_TRUE(table.FindKey(201));
    table.Edit();
    table.FieldByName("C").SetInteger(5);
    table.Post();
    expectCurrent("a key changed");
    for (int c = 20; c <= 300; c += 3) {
        ASSERT_TRUE(table.FindKey(c));
        table.Delete();
    }
    expectCurrent("deletes");
    std::vector<std::vector<std::string>> expected;
    for (table.First(); !table.Eof(); table.Next()) {
        expected.push_back({ table.FieldByName("B").AsText(), table.FieldByName("C").AsText() });
    }
    std::sort(expected.begin(), expected.end(), [](const auto& x, const auto& y) {
        return std::pair(std::stoi(x[0]), std::stoi(x[1])) < std::pair(std::stoi(y[0]), std::stoi(y[1]));
    });
    std::vector<std::vector<std::string>> read;
    for (auto row : IndexRows(table, "C.X03")) {
        read.push_back({ row[0], row[1] });
    }
    EXPECT_EQ(read, expected);
    table.Close();
    Table::EmptyTable(tree.Root(), "C.DB");
    table.Open();
    expectCurrent("emptied");
    EXPECT_EQ(IndexRows(table, "C.X02").size(), 0u);
}

// A non-maintained index is left byte for byte as it was; the table's change counter moves on
// without it, which is how the original engine's own out-of-date indexes look (case.x01).
TEST(ParadoxSecondaryIndex, NonMaintainedIndexesStayAsTheyWereAndFallBehind)
{
    TempTree tree;
    test::CopySample(tree, "joins", { "case.db", "case.x01", "case.y01" });
    Table::Create(tree.Root(), "keyed.db", { { "ID", FieldType::Long, 0 }, { "Name", FieldType::Alpha, 20 } }, 1);
    SecondaryIndexDef byName;
    byName.fields = { 1 };
    byName.maintained = false;
    const std::string keyedIndex = Table::AddSecondaryIndex(tree.Root(), "keyed.db", byName);
    for (const auto& [db, index] :
         { std::pair<std::string, std::string> { "case.db", "case.x01" }, { "keyed.db", keyedIndex } }) {
        SCOPED_TRACE(db);
        const std::string indexBefore = ReadFile(tree.Path(index));
        const std::string companion = index.substr(0, index.size() - 3) + (index[index.size() - 3] == 'x' ? "y" : "Y")
            + index.substr(index.size() - 2);
        const std::string companionBefore = ReadFile(tree.Path(companion));
        const int counterBefore = static_cast<unsigned char>(ReadFile(tree.Path(db))[0x2D]);
        {
            Table table(tree.Root(), db);
            table.Open();
            table.Append();
            table.FieldAt(0).SetText("7");
            if (table.FieldCount() > 1) {
                table.FieldAt(1).SetText("seven");
            }
            table.Post();
            const auto notes = table.Check().notes;
            ASSERT_EQ(notes.size(), 1u);
            EXPECT_NE(notes[0].find("is not maintained"), std::string::npos);
        }
        EXPECT_EQ(ReadFile(tree.Path(index)), indexBefore);
        EXPECT_EQ(ReadFile(tree.Path(companion)), companionBefore);
        EXPECT_NE(static_cast<unsigned char>(ReadFile(tree.Path(db))[0x2D]), counterBefore);
    }
}

// Index shapes the engine cannot keep current: every write is refused, naming the index file,
// before any file of the family changes.
TEST(ParadoxSecondaryIndex, ShapesTheEngineCannotKeepMakeTheTableReadOnly)
{
    struct RefusedCase
    {
        std::string what;
        std::string db;
        std::vector<std::string> family;
        std::string index;
        std::function<void(const TempTree&)> prepare;
        std::string reason; // part of the refusal
    };
    auto setByte = [](const std::string& name, std::size_t offset, char value) {
        return [=](const TempTree& tree) {
            std::string bytes = ReadFile(tree.Path(name));
            bytes[offset] = value;
            tree.Write(name, bytes);
        };
    };
    const std::vector<RefusedCase> cases = {
        { "a maintained index of an unkeyed table",
          "case.db",
          { "case.db", "case.x01", "case.y01" },
          "case.x01",
          setByte("case.x01", 0x04, 5),
          "without a primary key" },
        { "a sort direction byte no sample explains",
          "C.DB",
          { "C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03" },
          "C.X03",
          setByte("C.X03", 0x55, 0x11),
          "sort direction" },
        { "a field number no sample explains",
          "fk4.db",
          { "fk4.db", "fk4.px", "fk4.XG0", "fk4.YG0" },
          "fk4.XG0",
          setByte("fk4.XG0", 0x0F6, 0x40),
          "do not match" },
        { "an index file that cannot be read",
          "fk1.db",
          { "fk1.db", "fk1.px", "fk1.x02", "fk1.y02" },
          "fk1.x02",
          setByte("fk1.x02", 0x02, 0x7F),
          "fk1.x02" },
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree tree;
        test::CopySample(tree, "joins", c.family);
        c.prepare(tree);
        const std::vector<std::string> before = ReadFamily(tree, c.family);
        const auto refused = [&](const std::function<void()>& write) {
            try {
                write();
            } catch (const TableError& e) {
                const std::string message = e.what();
                EXPECT_NE(message.find(c.reason), std::string::npos) << message;
                return message.find("secondary index \"" + c.index + "\"") != std::string::npos;
            }
            return false;
        };
        {
            Table table(tree.Root(), c.db);
            table.Open(OpenMode::Shared);
            std::int64_t read = 0;
            for (table.First(); !table.Eof(); table.Next()) {
                ++read;
            }
            EXPECT_EQ(read, table.RecordCount());
            EXPECT_TRUE(refused([&] { table.Edit(); }));
            EXPECT_TRUE(refused([&] { table.Append(); }));
            table.First();
            if (!table.Eof()) {
                EXPECT_TRUE(refused([&] { table.Delete(); }));
            }
            EXPECT_TRUE(refused([&] { table.RebuildSecondaryIndexes(); }));
        }
        EXPECT_TRUE(refused([&] { Table::EmptyTable(tree.Root(), c.db); }));
        const std::vector<std::string> after = ReadFamily(tree, c.family);
        for (std::size_t i = 0; i < c.family.size(); ++i) {
            EXPECT_EQ(after[i], before[i]) << c.family[i];
        }
    }
}

// A writer that dies after the table's files and before the index's leaves the index behind: the
// table reads as before, `Check` names the index, and the next write brings it up to date.
TEST(ParadoxSecondaryIndex, AnIndexLeftBehindByACrashIsReportedAndRepairedByTheNextWrite)
{
    TempTree tree;
    test::CopySample(tree, "joins", { "C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03" });
    const std::vector<std::string> indexFiles = { "C.X02", "C.Y02", "C.X03", "C.Y03" };
    const std::vector<std::string> indexesBefore = ReadFamily(tree, indexFiles);
    {
        Table table(tree.Root(), "C.DB");
        table.Open();
        table.Append();
        table.FieldByName("C").SetInteger(9);
        table.FieldByName("A").SetInteger(90);
        table.FieldByName("B").SetInteger(900);
        table.Post();
    }
    // The index files as the dead writer left them: not yet written.
    for (std::size_t i = 0; i < indexFiles.size(); ++i) {
        tree.Write(indexFiles[i], indexesBefore[i]);
    }
    Table table(tree.Root(), "C.DB");
    table.Open();
    EXPECT_EQ(test::ReadAll(table).size(), 4u);
    const auto differences = table.Check().differences;
    ASSERT_FALSE(differences.empty());
    bool namesMissingEntry = false;
    for (const std::string& difference : differences) {
        namesMissingEntry = namesMissingEntry
            || (difference.find("C.X02") != std::string::npos && difference.find("is missing") != std::string::npos);
    }
    EXPECT_TRUE(namesMissingEntry) << differences.front();
    ASSERT_TRUE(table.FindKey(1));
    table.Edit();
    table.FieldByName("B").SetInteger(44);
    table.Post();
    EXPECT_EQ(table.Check().differences, std::vector<std::string> {});
    EXPECT_EQ(IndexRows(table, "C.X03").front(), (std::vector<std::string> { "5", "2", "1" }));
}

// Real writers killed at random points of their posts: whatever moment the kill hits, the table
// reads every record its blocks hold, `Check` reports whatever was left behind, and the next write
// leaves the whole family consistent.
TEST(ParadoxSecondaryIndex, WritersKilledMidPostLeaveTablesTheNextWriteMends)
{
    int roundsLeftBehind = 0;
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        TempTree tree;
        Table::Create(tree.Root(), "Killed.DB",
                      { { "ID", FieldType::Long, 0 },
                        { "Name", FieldType::Alpha, 40 },
                        { "Day", FieldType::Date, 0 },
                        { "Count", FieldType::Short, 0 } },
                      1);
        SecondaryIndexDef byName;
        byName.fields = { 1 };
        Table::AddSecondaryIndex(tree.Root(), "Killed.DB", byName);
        SecondaryIndexDef byDayAndCount;
        byDayAndCount.fields = { 2, 3 };
        byDayAndCount.composite = true;
        byDayAndCount.name = "DayCount";
        Table::AddSecondaryIndex(tree.Root(), "Killed.DB", byDayAndCount);
        // The writer says when its first record is in, so that the kill's delay counts from there
        // however slowly a busy machine starts it.
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Appends, key changes and deletes until killed; never back into the test runner.
            ::close(started[0]);
            try {
                Table table(tree.Root(), "Killed.DB");
                table.Open();
                for (int i = 0;; ++i) {
                    table.Append();
                    table.FieldAt(0).SetInteger(i * 7919 % 100003);
                    table.FieldAt(1).SetText("name " + std::to_string(i % 97));
                    table.FieldAt(2).SetInteger(40000 + i % 13);
                    table.FieldAt(3).SetInteger(i % 5);
                    table.Post();
                    if (i == 0) {
                        const char one = 1;
                        if (::write(started[1], &one, 1) != 1) {
                            ::_exit(1);
                        }
                        ::close(started[1]);
                    }
                    if (i % 3 == 0 && table.FindKey(i * 7919 % 100003)) {
                        table.Edit();
                        table.FieldAt(0).SetInteger(200000 + i);
                        table.Post();
                    }
                    if (i % 5 == 0) {
                        table.First();
                        table.Delete();
                    }
                }
            } catch (...) {
            }
            ::_exit(1);
        }
        ::close(started[1]);
        char one = 0;
        const ssize_t heard = ::read(started[0], &one, 1);
        ::close(started[0]);
        if (heard == 1) {
            ::usleep(static_cast<useconds_t>(20000 + round * 15000));
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        Table table(tree.Root(), "Killed.DB");
        table.Open();
        std::int64_t walked = 0;
        for (table.First(); !table.Eof(); table.Next()) {
            ++walked;
        }
        EXPECT_EQ(walked, table.RecordCount());
        ASSERT_GT(walked, 0);
        // What the kill left behind is reported, not read wrong.
        roundsLeftBehind += table.Check().differences.empty() ? 0 : 1;
        table.Append();
        table.FieldAt(0).SetInteger(999999);
        table.Post();
        const auto differences = table.Check().differences;
        EXPECT_EQ(differences, std::vector<std::string> {});
    }
    // Posts are most of what the writer does, so most kills land inside one: the test has seen
    // families left behind, not only clean ones.
    EXPECT_GT(roundsLeftBehind, 0);
}
