#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "support/paradox/Table.h"

using namespace wh;

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
