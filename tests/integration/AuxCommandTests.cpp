#include <gtest/gtest.h>

#include "ClaimsFixture.h"
#include "auxfiles/AuxArchive.h"
#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "support/paradox/Table.h"
#include "support/text/Clock.h"
#include "support/text/DateTime.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

using namespace wh;
namespace fs = std::filesystem;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

// One workstation: a claims directory built by the fixture builder, signed in as the same
// warehouse user as every other workstation of the test.
struct Desk
{
    fixtures::ClaimsDirLayout layout;
    std::string dataDir;
    std::string tmpDir;

    std::vector<std::string> Env(const std::string& home) const
    {
        return { "WHUPLOAD_PROGRAM_DIR=" + layout.programDir, "XDG_DATA_HOME=" + dataDir, "TMPDIR=" + tmpDir,
                 "HOME=" + home };
    }
};

// The files of the claims directory's root whose names start with one of the prefixes.
std::map<std::string, std::string> Family(const std::string& claimsDir, const std::vector<std::string>& stems)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(claimsDir)) {
        const std::string name = entry.path().filename().string();
        for (const std::string& stem : stems) {
            if (entry.is_regular_file() && name.rfind(stem + ".", 0) == 0) {
                files[name] = test::ReadFile(entry.path().string());
            }
        }
    }
    return files;
}

class AuxCommandTest : public ::testing::Test
{
protected:
    AuxCommandTest()
        : server(tree.Path("server-data"))
    {
        EXPECT_TRUE(server.AddUser("Aux Adjusting", "jdoe", "secret", 3, 4, 5, 6, 42));
        office = MakeDesk("office");
        laptop = MakeDesk("laptop");
    }

    Desk MakeDesk(const std::string& name)
    {
        fixtures::ClaimsDirOptions options;
        options.root = tree.Path(name);
        options.claims = 1;
        options.serverAddress = server.BaseUrl();
        options.warehouseUser = "jdoe";
        options.warehousePassword = "secret";
        options.warehouseCompany = "Aux Adjusting";
        Desk desk;
        desk.layout = fixtures::BuildClaimsDirectory(options);
        desk.dataDir = tree.Path(name + "-data");
        desk.tmpDir = tree.MakeDir(name + "-tmp");
        return desk;
    }

    void MakeTable(const Desk& desk, const std::string& name, int records)
    {
        const std::vector<paradox::FieldDef> fields = { { "ID", paradox::FieldType::Long, 0 },
                                                        { "Name", paradox::FieldType::Alpha, 60 },
                                                        { "Notes", paradox::FieldType::Memo, 10 } };
        paradox::Table::Create(desk.layout.claimsDir, name, fields, 1);
        paradox::Table table(desk.layout.claimsDir, name);
        table.Open(paradox::OpenMode::Exclusive);
        for (int i = 1; i <= records; ++i) {
            table.Append();
            table.FieldByName("ID").SetInteger(i);
            table.FieldByName("Name").SetText(name + " entry " + std::to_string(i));
            table.FieldByName("Notes").SetText(std::string(200 + i, 'n'));
            table.Post();
        }
        table.Close();
    }

    int Cli(const Desk& desk, const std::vector<std::string>& args, std::string& output)
    {
        std::vector<std::string> argv { kCli, "aux" };
        argv.insert(argv.end(), args.begin(), args.end());
        return test::RunCommand(argv, &output, desk.Env(tree.Root()), 60000);
    }

    test::TempTree tree;
    test::WarehouseServerProcess server;
    Desk office;
    Desk laptop;
};

} // namespace

TEST_F(AuxCommandTest, PutFromOneClaimsDirectoryAndGetIntoAnotherByteForByte)
{
    MakeTable(office, "mtadds.DB", 25);
    tree.Write("office/validity", std::string("validity checks\0\1\2", 18));
    fs::copy_file(tree.Path("office/validity"), office.layout.claimsDir + "/mtadds.VAL");
    MakeTable(office, "Custom.DB", 3);
    MakeTable(office, "CustomCat.DB", 4);
    // The laptop has older tables of both kinds, one with an index the office's family lacks.
    MakeTable(laptop, "mtadds.DB", 2);
    fs::copy_file(laptop.layout.claimsDir + "/mtadds.PX", laptop.layout.claimsDir + "/mtadds.TV");
    MakeTable(laptop, "Custom.DB", 1);

    std::string output;
    ASSERT_EQ(Cli(office, { "list" }, output), 0) << output;
    EXPECT_EQ(output, "");
    ASSERT_EQ(Cli(office, { "put", "PHB" }, output), 0) << output;
    EXPECT_NE(output.find("Phone Book stored on the server, Updated : "), std::string::npos) << output;
    ASSERT_EQ(Cli(office, { "put", "CDI" }, output), 0) << output;
    EXPECT_FALSE(fs::exists(office.dataDir + "/Korvan/Warehouse/PHB.AUX"));
    EXPECT_FALSE(fs::exists(office.dataDir + "/Korvan/Warehouse/CDI.AUX"));

    const text::DateParts now = text::DecodeDateTime(text::SystemClock().Now());
    char today[16];
    std::snprintf(today, sizeof today, "%02d/%02d/%04d", now.month, now.day, now.year);
    ASSERT_EQ(Cli(laptop, { "list" }, output), 0) << output;
    EXPECT_EQ(output, "PHB  " + std::string(today) + "  Phone Book\nCDI  " + today + "  Custom DB Items\n");

    // The fee schedule was never stored: the server's refusal is a failed transfer.
    MakeTable(laptop, "mtschdat.DB", 1);
    const auto feeBefore = Family(laptop.layout.claimsDir, { "mtschdat" });
    EXPECT_EQ(Cli(laptop, { "get", "FEE" }, output), 1) << output;
    EXPECT_EQ(Family(laptop.layout.claimsDir, { "mtschdat" }), feeBefore);
    EXPECT_TRUE(fs::exists(laptop.layout.claimsDir + "/Updates/force.txt"));
    fs::remove(laptop.layout.claimsDir + "/Updates/force.txt");

    ASSERT_EQ(Cli(laptop, { "get", "PHB" }, output), 0) << output;
    ASSERT_EQ(Cli(laptop, { "get", "CDI" }, output), 0) << output;
    EXPECT_EQ(Family(laptop.layout.claimsDir, { "mtadds" }), Family(office.layout.claimsDir, { "mtadds" }));
    EXPECT_EQ(Family(laptop.layout.claimsDir, { "Custom", "CustomCat" }),
              Family(office.layout.claimsDir, { "Custom", "CustomCat" }));
    EXPECT_EQ(Family(laptop.layout.claimsDir, { "mtadds" }).count("mtadds.TV"), 0u);
    EXPECT_EQ(test::ReadFile(laptop.layout.claimsDir + "/Updates/force.txt"), "");
    EXPECT_FALSE(fs::exists(laptop.dataDir + "/Korvan/Warehouse/PHB.PHB"));
    EXPECT_FALSE(fs::exists(laptop.dataDir + "/Korvan/Warehouse/CDI.CDI"));

    paradox::Table phoneBook(laptop.layout.claimsDir, "mtadds.DB");
    phoneBook.Open(paradox::OpenMode::Shared);
    EXPECT_EQ(phoneBook.RecordCount(), 25);
}

TEST_F(AuxCommandTest, APutThatCannotBeBuiltSendsNothing)
{
    for (const auto& entry : fs::directory_iterator(office.layout.claimsDir)) {
        if (entry.path().stem() == "mtdiaryp") {
            fs::remove(entry.path()); // the diary without its third family
        }
    }
    std::string output;
    EXPECT_EQ(Cli(office, { "put", "DIA" }, output), 1) << output;
    ASSERT_EQ(Cli(office, { "list" }, output), 0) << output;
    EXPECT_EQ(output, "");
    EXPECT_FALSE(fs::exists(office.dataDir + "/Korvan/Warehouse/DIA.AUX"));
}

TEST_F(AuxCommandTest, EveryKindGoesUpAndComesDownByteForByte)
{
    // The office's tables of every kind get rows of their own, so that no family matches the
    // laptop's before the Get.
    for (const auxfiles::AuxKind& kind : auxfiles::AuxKinds()) {
        for (const std::string& mask : kind.masks) {
            paradox::Table table(office.layout.claimsDir, mask.substr(0, mask.size() - 1) + "DB");
            table.Open(paradox::OpenMode::Exclusive);
            table.Append();
            table.FieldByName("ID").SetInteger(1000 + kind.number);
            table.FieldByName("Name").SetText(std::string("office ") + kind.code);
            table.Post();
            table.Close();
        }
    }
    std::string output;
    for (const auxfiles::AuxKind& kind : auxfiles::AuxKinds()) {
        ASSERT_EQ(Cli(office, { "put", kind.code }, output), 0) << kind.code << ": " << output;
    }
    ASSERT_EQ(Cli(laptop, { "list" }, output), 0) << output;
    EXPECT_EQ(test::CountOf(output, "\n"), 8u) << output;
    for (const auxfiles::AuxKind& kind : auxfiles::AuxKinds()) {
        SCOPED_TRACE(kind.code);
        std::vector<std::string> stems;
        for (const std::string& mask : kind.masks) {
            stems.push_back(mask.substr(0, mask.size() - 2));
        }
        EXPECT_NE(Family(laptop.layout.claimsDir, stems), Family(office.layout.claimsDir, stems));
        ASSERT_EQ(Cli(laptop, { "get", kind.code }, output), 0) << output;
        EXPECT_EQ(output, std::string(kind.statusWord) + " retrieved into " + laptop.layout.claimsDir + "\n");
        EXPECT_EQ(Family(laptop.layout.claimsDir, stems), Family(office.layout.claimsDir, stems));
    }
}
