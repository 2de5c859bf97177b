// whupload-cli restore against a real warehouse-server: claims uploaded by `whupload-cli run` from
// one claims directory come back into another.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ClaimsFixture.h"
#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "support/paradox/Table.h"

using namespace wh;
using paradox::OpenMode;
using paradox::Table;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

class RestoreCommandTest : public ::testing::Test
{
protected:
    RestoreCommandTest()
        : server(tree.Path("server"))
    {
        EXPECT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
        tree.MakeDir("tmp");
        source = Build("source", "pw1");
        std::string output;
        EXPECT_EQ(Cli(source, { "run" }, output), 0) << output;
        for (const auto& [claimId, record] : Records(source)) {
            serverIds[claimId] = record.srvClaimId;
            EXPECT_GT(record.srvClaimId, 0) << "claim " << claimId << " was not uploaded";
        }
    }

    fixtures::ClaimsDirLayout Build(const std::string& name, const std::string& password)
    {
        fixtures::ClaimsDirOptions options;
        options.root = tree.Path(name);
        options.claims = 3;
        options.serverAddress = server.BaseUrl();
        options.warehouseUser = "jdoe";
        options.warehousePassword = password;
        options.warehouseCompany = "Acme";
        return fixtures::BuildClaimsDirectory(options);
    }

    int Cli(const fixtures::ClaimsDirLayout& layout, std::vector<std::string> arguments, std::string& output)
    {
        arguments.insert(arguments.begin(), kCli);
        return test::RunCommand(arguments, &output,
                                { "WHUPLOAD_PROGRAM_DIR=" + layout.programDir, "XDG_DATA_HOME=" + tree.Path("data"),
                                  "TMPDIR=" + tree.Path("tmp"), "HOME=" + tree.Root() });
    }

    struct Record
    {
        std::int64_t srvClaimId = 0;
        std::int64_t boxId = 0;
        std::string claimNumber;
    };
    static std::map<std::int64_t, Record> Records(const fixtures::ClaimsDirLayout& layout)
    {
        Table claims(layout.claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        std::map<std::int64_t, Record> records;
        for (claims.First(); !claims.Eof(); claims.Next()) {
            records[claims.FieldByName("ClaimID").AsInteger()]
                = { claims.FieldByName("SrvClaimID").AsInteger(), claims.FieldByName("BoxID").AsInteger(),
                    claims.FieldByName("ClaimNumber").AsText() };
        }
        return records;
    }

    test::TempTree tree;
    test::WarehouseServerProcess server;
    fixtures::ClaimsDirLayout source;
    std::map<std::int64_t, std::int64_t> serverIds; // source ClaimID -> server claim id
};

} // namespace

TEST_F(RestoreCommandTest, RestoresUploadedClaimsIntoAnotherClaimsDirectory)
{
    const fixtures::ClaimsDirLayout target = Build("target", "pw1");
    const auto before = Records(target);
    std::string output;
    EXPECT_EQ(
        Cli(target, { "restore", std::to_string(serverIds.at(2)), std::to_string(serverIds.at(3)), "--yes" }, output),
        0)
        << output;
    EXPECT_NE(output.find("Retrieving Claim: CLM-00002"), std::string::npos) << output;

    const auto after = Records(target);
    ASSERT_EQ(after.size(), before.size() + 2);
    std::vector<std::string> added;
    for (const auto& [claimId, record] : after) {
        if (before.count(claimId) == 0) {
            added.push_back(record.claimNumber);
            EXPECT_EQ(record.boxId, -200) << record.claimNumber << " is not in the inbox";
        }
    }
    EXPECT_EQ(added, (std::vector<std::string> { "CLM-00002", "CLM-00003" }));
}

TEST_F(RestoreCommandTest, ExitCodesTellFailedClaimsFromFailedSignIns)
{
    struct Case
    {
        const char* name;
        const char* password;
        bool knownId; // else an id the server never stored
        int exitCode;
        std::size_t claimsAdded;
    };
    const Case cases[] = {
        { "a claim the server does not have", "pw1", false, 1, 0 },
        { "a refused sign-in", "wrong", true, 2, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fixtures::ClaimsDirLayout target = Build(std::string("target-") + c.password, c.password);
        const auto before = Records(target);
        const std::string id = c.knownId ? std::to_string(serverIds.at(1)) : "999999";
        std::string output;
        EXPECT_EQ(Cli(target, { "restore", id, "--yes" }, output), c.exitCode) << output;
        EXPECT_EQ(Records(target).size(), before.size() + c.claimsAdded);
    }
}
