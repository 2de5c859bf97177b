// The headers of a fresh secondary index pair against the pairs the original engine wrote for
// the join samples (paradox-samples/joins): byte for byte, except the bytes that record the
// history of the sample file rather than its layout.
#include "ParadoxTestUtil.h"

#include "support/Errors.h"
#include "support/paradox/SecondaryIndexHeader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

using namespace wh;
using namespace wh::paradox;
using wh::test::ReadFile;
using wh::test::SamplesDir;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Range
{
    std::size_t from; // first excepted offset
    std::size_t to; // last excepted offset
};

Bytes ReadJoinsFile(const std::string& name)
{
    const std::string text = ReadFile(SamplesDir() + "/joins/" + name);
    return Bytes(text.begin(), text.end());
}

Bytes HeaderOf(const Bytes& file)
{
    const std::size_t headerSize = file.at(2) | (file.at(3) << 8);
    return Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(headerSize));
}

std::size_t FieldCount(const Bytes& header)
{
    return header.at(0x21) | (header.at(0x22) << 8);
}

// Bytes of the data file that hold history or run-time state, not layout.
std::vector<Range> DataHistory(const Bytes& sample)
{
    const std::size_t n = FieldCount(sample);
    const std::size_t pointers = 0x78 + 2 * n;
    return {
        { 0x12, 0x13 }, // creation sequence: counts files the engine made in the table's family
        { 0x16, 0x1D }, // run-time pointers
        { 0x2D, 0x2D }, // header rewrite counter; a fresh file starts at 2
        { 0x30, 0x37 }, // run-time pointers
        { 0x60, 0x63 }, // time stamp of the last update
        { pointers, pointers + 4 + 4 * n - 1 }, // run-time pointers to the table name and field names
    };
}

// Bytes of the index file that hold history or run-time state, not layout.
std::vector<Range> IndexHistory(const Bytes& sample)
{
    const std::size_t pointer = 0x58 + 2 * FieldCount(sample);
    return {
        { 0x12, 0x13 }, // follows the data file's creation sequence
        { 0x2C, 0x2C }, // follows the data file's header counter (0x2D)
        { 0x30, 0x37 }, // run-time pointers
        { pointer, pointer + 3 }, // run-time pointer to the table name
    };
}

struct PairCase
{
    std::string table;
    std::string data;
    std::string index;
    SecondaryIndexDef def;
    bool holdsBlocks = false; // the sample holds records or an allocated block: counts differ
    bool ansi850 = false; // ANSII850 family: 0x2F is not the table's 0x2D there
    std::vector<Range> dataExtra; // further excepted data file bytes, with the reason at the case
    std::vector<Range> indexExtra; // further excepted index file bytes, with the reason at the case
};

SecondaryIndexDef Single(int field, bool maintained = true)
{
    SecondaryIndexDef def;
    def.fields = { field };
    def.maintained = maintained;
    return def;
}

SecondaryIndexDef Composite(std::vector<int> fields, std::string name, std::vector<bool> descending, bool maintained)
{
    SecondaryIndexDef def;
    def.fields = std::move(fields);
    def.descending = std::move(descending);
    def.maintained = maintained;
    def.composite = true;
    def.name = std::move(name);
    return def;
}

const std::vector<PairCase>& PairCases()
{
    // The name field of fk4's pair: it still holds "resttemp", the name the table had while the
    // engine restructured it, although the table itself is named fk4 again.
    const Range fk4DataName { 0x94, 0x94 + 78 };
    const Range fk4IndexName { 0x62, 0x62 + 78 };
    static const std::vector<PairCase> cases = {
        // Maintained single-field indexes of empty keyed tables.
        { "fk1.db", "fk1.x02", "fk1.y02", Single(1), false, false, {}, {} },
        { "fk2.db", "fk2.x02", "fk2.y02", Single(1), false, false, {}, {} },
        { "fk3.db", "fk3.x03", "fk3.y03", Single(2), false, false, {}, {} },
        { "multiple.db", "multiple.X02", "multiple.Y02", Single(1), false, false, {}, {} },
        { "multiple.db", "multiple.X04", "multiple.Y04", Single(3), false, false, {}, {} },
        { "to_multiple.db", "to_multiple.X02", "to_multiple.Y02", Single(1), false, false, {}, {} },
        // These hold records; the counts are excepted.
        { "C.DB", "C.X02", "C.Y02", Single(1), true, true, {}, {} },
        { "C.DB", "C.X03", "C.Y03", Single(2), true, true, {}, {} },
        // 0x2E: one more than the table's and its .VAL's (0x84): made during that restructure.
        { "fk4.db",
          "fk4.XG0",
          "fk4.YG0",
          Composite({ 1, 3 }, "reference", {}, true),
          true,
          false,
          { { 0x2E, 0x2E }, fk4DataName },
          { fk4IndexName } },
        // Unkeyed tables: a level-7 descending composite with an allocated empty block, and a
        // stale level-4 single-field index.
        { "indexed.db",
          "indexed.xg0",
          "indexed.yg0",
          Composite({ 0 }, "Descending", { true }, false),
          true,
          true,
          {},
          {} },
        { "case.db", "case.x01", "case.y01", Single(0, false), false, true, {}, {} },
    };
    return cases;
}

std::string Hex(std::size_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%zX", value);
    return text;
}

// The offsets where the two headers differ outside the excepted ranges, with both values.
std::vector<std::string> Differences(const Bytes& actual, const Bytes& expected, const std::vector<Range>& excepted)
{
    std::vector<std::string> result;
    if (actual.size() != expected.size()) {
        result.push_back("size " + std::to_string(actual.size()) + " != " + std::to_string(expected.size()));
        return result;
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        bool skip = false;
        for (const auto& range : excepted) {
            skip = skip || (i >= range.from && i <= range.to);
        }
        if (!skip && actual[i] != expected[i]) {
            result.push_back(Hex(i) + ": " + Hex(actual[i]) + " expected " + Hex(expected[i]));
        }
    }
    return result;
}

std::string Upper(std::string text)
{
    for (auto& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

TEST(SecondaryIndexHeader, MatchesTheOriginalEnginesPairs)
{
    for (const auto& c : PairCases()) {
        SCOPED_TRACE(c.data);
        const Bytes table = HeaderOf(ReadJoinsFile(c.table));
        const Bytes sampleData = HeaderOf(ReadJoinsFile(c.data));
        const Bytes sampleIndex = HeaderOf(ReadJoinsFile(c.index));
        const SecondaryIndexHeaders built = NewSecondaryIndexHeaders(table, c.def);

        auto dataExcepted = DataHistory(sampleData);
        auto indexExcepted = IndexHistory(sampleIndex);
        dataExcepted.insert(dataExcepted.end(), c.dataExtra.begin(), c.dataExtra.end());
        indexExcepted.insert(indexExcepted.end(), c.indexExtra.begin(), c.indexExtra.end());
        if (c.ansi850) {
            dataExcepted.push_back({ 0x2F, 0x2F }); // copies the table's 0x2D, which moved on since
        }
        if (c.holdsBlocks) {
            dataExcepted.push_back({ 0x06, 0x11 }); // record and block counts, first and last block
            dataExcepted.push_back({ 0x3A, 0x3B }); // blocks allocated
            dataExcepted.push_back({ 0x49, 0x4C }); // moves with the records added
            indexExcepted.push_back({ 0x06, 0x11 }); // entry and block counts, first and last block
            indexExcepted.push_back({ 0x20, 0x20 }); // index levels
            indexExcepted.push_back({ 0x3A, 0x3B }); // blocks allocated
            indexExcepted.push_back({ 0x49, 0x4C }); // moves with the entries added
        }
        EXPECT_EQ(Differences(built.data, sampleData, dataExcepted), std::vector<std::string> {});
        EXPECT_EQ(Differences(built.index, sampleIndex, indexExcepted), std::vector<std::string> {});

        // The excepted bytes that tie the files together must still agree with each other.
        EXPECT_EQ(built.data.at(0x12) | (built.data.at(0x13) << 8), (table.at(0x12) | (table.at(0x13) << 8)) + 1);
        EXPECT_EQ(built.index.at(0x12) | (built.index.at(0x13) << 8),
                  (built.data.at(0x12) | (built.data.at(0x13) << 8)) + 1);
        EXPECT_GE(built.data.at(0x2D), 2);
        EXPECT_EQ(built.index.at(0x2C), built.data.at(0x2D));

        const std::string extension = Upper(c.data.substr(c.data.rfind('.') + 1));
        EXPECT_EQ(SecondaryIndexExtension(c.def), extension);
    }
}

TEST(SecondaryIndexHeader, RejectsImpossibleDefinitions)
{
    struct ErrorCase
    {
        std::string table;
        SecondaryIndexDef def;
        std::string message; // part of the text the user reads
    };
    SecondaryIndexDef several = Single(0);
    several.fields = { 0, 1 };
    const std::vector<ErrorCase> cases = {
        { "joins/fk1.db", SecondaryIndexDef {}, "has no fields" },
        { "fields/memo.db", Single(1), "is a memo or blob field" },
        { "joins/fk1.db", Single(2), "field 3 is not a field of the table" },
        { "joins/fk1.db", Composite({ 1, 1 }, "twice", {}, true), "field FK is listed twice" },
        { "joins/fk1.db", Composite({ 1 }, "down", { true }, true), "descending index needs a level 7 table" },
        { "joins/fk1.db", several, "must be a composite index" },
        { "joins/indexed.db", Single(0, true), "maintained index needs a keyed table" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string text = ReadFile(SamplesDir() + "/" + c.table);
        try {
            NewSecondaryIndexHeaders(HeaderOf(Bytes(text.begin(), text.end())), c.def);
            ADD_FAILURE() << "no error";
        } catch (const TableError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}
