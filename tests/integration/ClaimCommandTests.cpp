#include <gtest/gtest.h>

#include "ClaimsFixture.h"
#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "upload/WarehouseJSON.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <strings.h>
#include <vector>

using namespace wh;
using test::RunCommand;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

// A fixture claims directory with two claims, and the tool's folders in the same temporary tree.
class ClaimCommandTest : public ::testing::Test
{
protected:
    ClaimCommandTest()
        : layout(fixtures::BuildClaimsDirectory({ .root = tree.Path("root"), .claims = 2 }))
    {
        tree.MakeDir("tmp");
    }

    int Cli(const std::vector<std::string>& arguments, std::string& output)
    {
        std::vector<std::string> argv { kCli };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunCommand(argv, &output,
                          { "WHUPLOAD_PROGRAM_DIR=" + layout.programDir, "XDG_DATA_HOME=" + tree.Path("data"),
                            "TMPDIR=" + tree.Path("tmp"), "HOME=" + tree.Root() });
    }

    // The document of a claim as the core builds it in this process.
    std::string DocumentOf(int claimId)
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        EXPECT_TRUE(claims.FindKey(claimId));
        json::ObjectBuilder document;
        BuildClaimJSON(claims, document);
        return document.Text();
    }

    test::TempTree tree;
    fixtures::ClaimsDirLayout layout;
};

} // namespace

TEST_F(ClaimCommandTest, JsonPrintsTheDocumentOfTheChosenClaimAndNothingElse)
{
    std::string output;
    ASSERT_EQ(Cli({ "claim", "json", "2" }, output), 0) << output;
    EXPECT_EQ(output, DocumentOf(2));
    EXPECT_NE(output, DocumentOf(1));
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(output.back(), '}') << "no line break after the document";
    const auto parsed = json::Parse(output);
    ASSERT_TRUE(parsed.has_value()) << output;
    EXPECT_EQ((*parsed)["claimnumber"], "CLM-00002") << output;

    EXPECT_EQ(Cli({ "claim", "json", "99" }, output), 1);
    EXPECT_EQ(output, "") << "errors go to standard error";
}

TEST_F(ClaimCommandTest, ArchiveBuildsWhatAnUploadSendsAndPrintsItsPath)
{
    std::string output;
    ASSERT_EQ(Cli({ "claim", "archive", "2", "812" }, output), 0) << output;
    const std::string archive = tree.Path("data/Korvan/Warehouse/Upload/812.KVZ");
    EXPECT_EQ(output, archive + "\n");

    // Info-ZIP lists the claim folder's files under inbox/2.kvx/, then the ARCS table.
    std::string listing;
    ASSERT_EQ(RunCommand({ "unzip", "-Z1", archive }, &listing), 0);
    std::vector<std::string> expected;
    for (const auto& entry : std::filesystem::directory_iterator(layout.claims[1].folder)) {
        expected.push_back("inbox/2.kvx/" + entry.path().filename().string());
    }
    std::sort(expected.begin(), expected.end(),
              [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
    expected.push_back("ARCS.DB");
    expected.push_back("ARCS.MB");
    std::string joined;
    for (const std::string& name : expected) {
        joined += name + "\n";
    }
    EXPECT_EQ(listing, joined);
    ASSERT_EQ(RunCommand({ "unzip", "-tq", archive }), 0);

    // The ARCS table that travels holds the record of claim 2, with its memo.
    tree.MakeDir("arcs");
    ASSERT_EQ(RunCommand({ "unzip", "-q", archive, "ARCS.*", "-d", tree.Path("arcs") }), 0);
    paradox::Table arcs(tree.Path("arcs"), "ARCS.DB");
    arcs.Open();
    ASSERT_EQ(arcs.RecordCount(), 1);
    EXPECT_EQ(arcs.FieldByName("ClaimID").AsInteger(), 2);
    EXPECT_EQ(arcs.FieldByName("ClaimNumber").AsText(), "CLM-00002");
    EXPECT_EQ(arcs.FieldByName("Remarks").AsText().rfind("Inspection done.", 0), 0u);
    arcs.Close();

    // Building again for another claim replaces the ARCS record rather than adding one.
    ASSERT_EQ(Cli({ "claim", "archive", "1", "812" }, output), 0) << output;
    std::filesystem::remove_all(tree.Path("arcs"));
    tree.MakeDir("arcs");
    ASSERT_EQ(RunCommand({ "unzip", "-q", archive, "ARCS.*", "-d", tree.Path("arcs") }), 0);
    paradox::Table again(tree.Path("arcs"), "ARCS.DB");
    again.Open();
    ASSERT_EQ(again.RecordCount(), 1);
    EXPECT_EQ(again.FieldByName("ClaimID").AsInteger(), 1);
}

TEST_F(ClaimCommandTest, ArchiveFailsWithExitCodeOneWhenNothingCanBeBuilt)
{
    std::string output;
    EXPECT_EQ(Cli({ "claim", "archive", "7", "812" }, output), 1);
    EXPECT_EQ(output, "");

    std::filesystem::remove_all(layout.claims[0].folder);
    EXPECT_EQ(Cli({ "claim", "archive", "1", "812" }, output), 1);
    EXPECT_EQ(output.rfind("Exception: ", 0), 0u) << output;
    EXPECT_FALSE(std::filesystem::exists(tree.Path("data/Korvan/Warehouse/Upload/812.KVZ")));
}
