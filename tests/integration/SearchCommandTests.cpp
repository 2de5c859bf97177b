// whupload-cli search against a real warehouse-server holding claims that an upload run of the
// same command line tool put there, and against the scripted server for a search that fails.
#include <gtest/gtest.h>

#include <sstream>

#include "common/ChildProcess.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "fixtures/ClaimsFixture.h"
#include "support/paradox/Table.h"

using namespace wh;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

const std::string kHeader = "Server Claim ID  Adj Last Name  Claim Number  Insured Last Name  Policy Number  "
                            "Loss City      Loss State  Loss Zipcode  Date Of Loss";

class SearchCommandTest : public ::testing::Test
{
protected:
    void Build(const std::string& serverAddress, const std::string& password = "pw1")
    {
        fixtures::ClaimsDirOptions options;
        options.root = tree.Root();
        options.claims = 3;
        options.openClaims = 1; // claim 3 stays on the workstation
        options.serverAddress = serverAddress;
        options.warehouseUser = "jdoe";
        options.warehousePassword = password;
        options.warehouseCompany = "Acme";
        layout = fixtures::BuildClaimsDirectory(options);
    }

    // Runs the tool with both output streams in `output`.
    int Cli(std::vector<std::string> args, std::string& output)
    {
        args.insert(args.begin(), { "sh", "-c", "exec \"$0\" \"$@\" 2>&1", kCli });
        return test::RunCommand(args, &output,
                                { "WHUPLOAD_PROGRAM_DIR=" + layout.programDir, "XDG_DATA_HOME=" + tree.Path("data"),
                                  "TMPDIR=" + tree.MakeDir("tmp"), "HOME=" + tree.Root() },
                                120000);
    }

    std::int64_t ServerId(int claimId)
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        EXPECT_TRUE(claims.FindKey(claimId));
        return claims.FieldByName("SrvClaimID").AsInteger();
    }

    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    test::TempTree tree;
    fixtures::ClaimsDirLayout layout;
};

} // namespace

TEST_F(SearchCommandTest, FindsAnUploadedClaimByItsInsuredsName)
{
    test::WarehouseServerProcess server(tree.Path("server"));
    ASSERT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
    Build(server.BaseUrl());
    std::string output;
    ASSERT_EQ(Cli({ "run" }, output), 0) << output;
    const std::int64_t id1 = ServerId(1);
    const std::int64_t id2 = ServerId(2);
    ASSERT_GT(id1, 0);
    ASSERT_GT(id2, 0);
    ASSERT_EQ(ServerId(3), 0);

    // Typed in capitals, found in lower case; the fixture's claim 2 was lost on October 3, 2023.
    ASSERT_EQ(Cli({ "search", "--insured", "INSURED00002", "--from", "2023-01-01", "--to", "2023-12-31" }, output), 0)
        << output;
    const std::string idText = std::to_string(id2);
    const std::string row2 = idText + std::string(17 - idText.size(), ' ')
        + "Adjuster       CLM-00002     Insured00002       POL-00002      Oklahoma City  OK          73102         "
          "10/03/2023";
    EXPECT_EQ(Lines(output), (std::vector<std::string> { kHeader, row2 })) << output;

    // Both uploaded claims of the year, newest upload first; the open claim was never uploaded.
    ASSERT_EQ(Cli({ "search", "--insured", "insured", "--date-kind", "date_of_loss", "--from", "2023-10-01", "--to",
                    "2023-10-31", "--company" },
                  output),
              0)
        << output;
    const auto lines = Lines(output);
    ASSERT_EQ(lines.size(), 3u) << output;
    EXPECT_EQ(lines[0], kHeader);
    EXPECT_EQ(lines[1].substr(0, lines[1].find(' ')), idText) << output;
    EXPECT_EQ(lines[2].substr(0, lines[2].find(' ')), std::to_string(id1)) << output;

    // A range without the claims: the no-result message, the table's titles and success.
    ASSERT_EQ(Cli({ "search", "--insured", "insured00002", "--from", "2024-01-01", "--to", "2024-12-31" }, output), 0)
        << output;
    EXPECT_EQ(Lines(output),
              (std::vector<std::string> { "Your search request produced no record results.", "",
                                          "Please change your search criteria and try again.",
                                          "Server Claim ID  Adj Last Name  Claim Number  Insured Last Name  "
                                          "Policy Number  Loss City  Loss State  Loss Zipcode  Date Of Loss" }))
        << output;
}

TEST_F(SearchCommandTest, RefusedSignInAndFailedSearchHaveTheirExitCodes)
{
    test::WarehouseServerProcess server(tree.Path("server"));
    ASSERT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
    Build(server.BaseUrl(), "wrong");
    std::string output;
    EXPECT_EQ(Cli({ "search" }, output), 2) << output;
    EXPECT_NE(output.find("Authentication Error: Please check username and password."), std::string::npos) << output;
    EXPECT_EQ(output.find("Server Claim ID"), std::string::npos) << output;

    // A scripted warehouse signs the user in and answers the search with plain text.
    Build(test::SharedScriptedServer().BaseUrl() + "/plain");
    EXPECT_EQ(Cli({ "search", "--claim", "CLM" }, output), 1) << output;
    EXPECT_EQ(output, "Error processing search query.\nServer Response No search here\n");

    EXPECT_NE(Cli({ "search", "--date-kind", "date_of_birth" }, output), 0);
    EXPECT_NE(Cli({ "search", "--from", "2024-02-30" }, output), 0);
    EXPECT_NE(output.find("YYYY-MM-DD"), std::string::npos) << output;
}
