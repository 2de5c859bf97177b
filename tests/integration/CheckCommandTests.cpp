#include <gtest/gtest.h>

#include <filesystem>

#include "common/ChildProcess.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"

using namespace wh;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

class CheckCommandTest : public ::testing::Test
{
protected:
    CheckCommandTest()
    {
        tree.Write("prog/DBAlias.ini", "KVXClaimsDB=" + tree.Path("claims") + "\r\n");
        tree.Write("claims/Warehouse/TempArcs/ARCS.DB", "arcs");
        tree.MakeDir("tmp");
    }

    int Check(std::string& output)
    {
        return test::RunCommand({ kCli, "check" }, &output,
                                { "WHUPLOAD_PROGRAM_DIR=" + tree.Path("prog"), "XDG_DATA_HOME=" + tree.Path("data"),
                                  "TMPDIR=" + tree.Path("tmp"), "HOME=" + tree.Root() });
    }

    test::TempTree tree;
};

} // namespace

TEST_F(CheckCommandTest, ReportsAnInstalledDirectoryAndTheServersAnswer)
{
    test::ScriptedServer server;
    tree.Write("claims/Warehouse/warehouse.ini", "WServer=" + server.BaseUrl() + "/\r\n[Check]\r\nInterval=60001\r\n");
    std::string output;
    EXPECT_EQ(Check(output), 0) << output;
    EXPECT_NE(output.find("Claims directory:      " + tree.Path("claims") + " (folder)"), std::string::npos) << output;
    EXPECT_NE(output.find("WServer:             " + server.BaseUrl() + "/"), std::string::npos) << output;
    EXPECT_NE(output.find("Interval:            60001 ms"), std::string::npos) << output;
    EXPECT_NE(output.find("Installation check:    passed"), std::string::npos) << output;
    // The scripted server knows no /api/status: a real answer, reported with its class.
    EXPECT_NE(output.find("/api/status: HTTP failure 404: Not Found"), std::string::npos) << output;
    EXPECT_TRUE(std::filesystem::exists(tree.Path("data/Korvan/Warehouse/TempArcs/ARCS.DB")));
}

TEST_F(CheckCommandTest, BrokenInstallationsEndWithExitCodeOne)
{
    std::string output;
    // No warehouse.ini.
    EXPECT_EQ(Check(output), 1) << output;
    EXPECT_NE(output.find("(cannot be read"), std::string::npos) << output;

    tree.Write("claims/Warehouse/warehouse.ini",
               "WServer=https://127.0.0.1:" + std::to_string(test::ClosedLoopbackPort()) + "\r\n");
    std::filesystem::remove_all(tree.Path("claims/Warehouse/TempArcs"));
    std::filesystem::remove_all(tree.Path("data")); // the first check copied the template there
    EXPECT_EQ(Check(output), 1) << output;
    EXPECT_NE(output.find("Installation check:    FAILED"), std::string::npos) << output;
    EXPECT_NE(output.find("HTTP failure 7:"), std::string::npos) << output;

    std::filesystem::remove(tree.Path("prog/DBAlias.ini"));
    EXPECT_EQ(Check(output), 1) << output;
    EXPECT_NE(output.find("(not found)"), std::string::npos) << output;
}
