// Every whupload-cli command keeps to one table of exit codes: 0 done, 1 the job failed or was
// refused, 2 the job could not start, 3 the job ran but some claims were not stored. Each command
// meets each cause it can meet, against a real warehouse-server (and the scripted server for a
// warehouse that signs the user in and then answers nothing useful).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "fixtures/ClaimsFixture.h"
#include "support/paradox/Table.h"

using namespace wh;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

enum class Desk {
    Good, // jdoe with the right password; its claims have been uploaded
    Target, // another workstation of jdoe, to restore into
    WrongPassword,
    NoSettings, // no warehouse password stored for the user
    Unreachable, // warehouse.ini names a port nobody listens on
    ChangedKey, // the key pinned for the server is not the one it shows
    NoClaimsDir, // DBAlias.ini names a claims directory that is not there
    Plain, // a warehouse that signs in and then answers everything with plain text
    RefusedClaim, // one claim carries a server id the server never handed out
};

class CliExitCodeTest : public ::testing::Test
{
protected:
    CliExitCodeTest()
        : server(tree.Path("server"))
    {
        EXPECT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
        // Refused sign-ins go to an account of their own, so that no guard against guessing
        // slows down or locks out the account the other cases use.
        EXPECT_TRUE(server.AddUser("Acme", "mallory", "pw2", 11, 22, 33, 44, 56));
        tree.MakeDir("tmp");
        std::string output;
        EXPECT_EQ(Cli(Desk::Good, { "run" }, output), 0) << output;
        paradox::Table claims(Layout(Desk::Good).claimsDir, "Claims.DB");
        claims.Open();
        EXPECT_TRUE(claims.FindKey(1));
        uploadedId = std::to_string(claims.FieldByName("SrvClaimID").AsInteger());
    }

    static const char* Name(Desk desk)
    {
        static const std::map<Desk, const char*> names {
            { Desk::Good, "good" },
            { Desk::Target, "target" },
            { Desk::WrongPassword, "wrong-password" },
            { Desk::NoSettings, "no-settings" },
            { Desk::Unreachable, "unreachable" },
            { Desk::ChangedKey, "changed-key" },
            { Desk::NoClaimsDir, "no-claims-dir" },
            { Desk::Plain, "plain" },
            { Desk::RefusedClaim, "refused-claim" },
        };
        return names.at(desk);
    }

    const fixtures::ClaimsDirLayout& Layout(Desk desk)
    {
        const auto found = desks.find(desk);
        if (found != desks.end()) {
            return found->second;
        }
        const std::string root = tree.Path(Name(desk));
        fixtures::ClaimsDirOptions options;
        options.root = root;
        options.claims = 3;
        options.serverAddress = server.BaseUrl();
        options.warehouseUser = "jdoe";
        options.warehousePassword = "pw1";
        options.warehouseCompany = "Acme";
        switch (desk) {
        case Desk::WrongPassword:
            options.warehouseUser = "mallory";
            options.warehousePassword = "wrong";
            break;
        case Desk::NoSettings:
            options.warehousePassword = "";
            break;
        case Desk::Unreachable:
            options.serverAddress = "https://127.0.0.1:1";
            break;
        case Desk::Plain:
            options.serverAddress = test::SharedScriptedServer().BaseUrl() + "/plain";
            break;
        default:
            break;
        }
        fixtures::ClaimsDirLayout layout = fixtures::BuildClaimsDirectory(options);
        if (desk == Desk::ChangedKey) {
            tree.Write(std::string(Name(desk)) + "/data/Korvan/Warehouse/trusted-servers",
                       "https://127.0.0.1:" + server.Port() + " " + std::string(64, 'a') + "\n");
        } else if (desk == Desk::NoClaimsDir) {
            std::ofstream(layout.programDir + "/DBAlias.ini", std::ios::binary | std::ios::trunc)
                << "KVXClaimsDB=" << root << "/gone\r\n";
        } else if (desk == Desk::RefusedClaim) {
            paradox::Table claims(layout.claimsDir, "Claims.DB");
            claims.Open();
            EXPECT_TRUE(claims.FindKey(2));
            claims.Edit();
            claims.FieldByName("SrvClaimID").SetInteger(987654);
            claims.Post();
            claims.Close();
        }
        return desks.emplace(desk, layout).first->second;
    }

    // Runs the tool on the desk with both output streams in `output`; "{id}" in an argument
    // stands for the server id of the good desk's first claim.
    int Cli(Desk desk, std::vector<std::string> args, std::string& output)
    {
        const fixtures::ClaimsDirLayout& layout = Layout(desk);
        for (std::string& arg : args) {
            if (arg == "{id}") {
                arg = uploadedId;
            } else if (arg.starts_with("{claims}")) {
                arg = layout.claimsDir + arg.substr(8);
            }
        }
        args.insert(args.begin(), kCli);
        const std::string root = tree.Path(Name(desk));
        return test::RunCommand(args, &output,
                                { "WHUPLOAD_PROGRAM_DIR=" + layout.programDir, "XDG_DATA_HOME=" + root + "/data",
                                  "TMPDIR=" + tree.Path("tmp"), "HOME=" + root },
                                120000, test::Collect::OutputAndErrors);
    }

    test::TempTree tree;
    test::WarehouseServerProcess server;
    std::map<Desk, fixtures::ClaimsDirLayout> desks;
    std::string uploadedId;
};

} // namespace

TEST_F(CliExitCodeTest, EveryCommandKeepsToTheOneTable)
{
    struct Case
    {
        const char* cause;
        Desk desk;
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        // 0: done.
        { "done", Desk::Good, { "run" }, 0 },
        { "done", Desk::Good, { "search", "--from", "2023-01-01", "--to", "2023-12-31" }, 0 },
        { "done, nothing found", Desk::Good, { "search", "--from", "2024-01-01", "--to", "2024-01-31" }, 0 },
        { "done", Desk::Target, { "restore", "{id}", "--yes" }, 0 },
        { "done", Desk::Good, { "aux", "list" }, 0 },
        { "done", Desk::Good, { "trust" }, 0 },
        { "done, nothing to change", Desk::Good, { "trust", "--accept" }, 0 },
        { "done", Desk::Good, { "check" }, 0 },
        { "done, the server is only reported", Desk::Unreachable, { "check" }, 0 },
        { "done", Desk::Good, { "table", "dump", "{claims}/Claims.DB" }, 0 },
        { "done", Desk::Good, { "claim", "json", "1" }, 0 },
        { "help", Desk::Good, { "--help" }, 0 },
        { "help", Desk::Good, { "search", "--help" }, 0 },
        { "version", Desk::Good, { "--version" }, 0 },

        // 1: the job failed or was refused.
        { "claim list failed", Desk::Plain, { "run" }, 1 },
        { "search failed", Desk::Plain, { "search", "--claim", "CLM" }, 1 },
        { "claim not on the server", Desk::Target, { "restore", "999999", "--yes" }, 1 },
        { "list failed", Desk::Plain, { "aux", "list" }, 1 },
        { "kind not on the server", Desk::Good, { "aux", "get", "FEE" }, 1 },
        { "answered No", Desk::ChangedKey, { "trust", "--accept" }, 1 },
        { "installation broken", Desk::NoClaimsDir, { "check" }, 1 },
        { "no such table", Desk::Good, { "table", "check", "{claims}/Nothing.DB" }, 1 },
        { "no such claim", Desk::Good, { "claim", "json", "99" }, 1 },

        // 2: the job could not start.
        { "usage", Desk::Good, {}, 2 },
        { "usage", Desk::Good, { "--bogus" }, 2 },
        { "usage", Desk::Good, { "run", "--bogus" }, 2 },
        { "usage", Desk::Good, { "search", "--from", "2024-02-30" }, 2 },
        { "usage", Desk::Good, { "restore" }, 2 },
        { "usage", Desk::Good, { "restore", "abc" }, 2 },
        { "usage", Desk::Good, { "aux" }, 2 },
        { "usage", Desk::Good, { "aux", "get", "XYZ" }, 2 },
        { "usage", Desk::Good, { "trust", "--bogus" }, 2 },
        { "usage", Desk::Good, { "check", "extra" }, 2 },
        { "usage", Desk::Good, { "table", "dump" }, 2 },
        { "usage", Desk::Good, { "claim", "json" }, 2 },
        { "wrong password", Desk::WrongPassword, { "run" }, 2 },
        { "wrong password", Desk::WrongPassword, { "search" }, 2 },
        { "wrong password", Desk::WrongPassword, { "restore", "{id}", "--yes" }, 2 },
        { "wrong password", Desk::WrongPassword, { "aux", "list" }, 2 },
        { "settings missing", Desk::NoSettings, { "run" }, 2 },
        { "settings missing", Desk::NoSettings, { "search" }, 2 },
        { "settings missing", Desk::NoSettings, { "restore", "{id}", "--yes" }, 2 },
        { "settings missing", Desk::NoSettings, { "aux", "list" }, 2 },
        { "server unreachable", Desk::Unreachable, { "run" }, 2 },
        { "server unreachable", Desk::Unreachable, { "search" }, 2 },
        { "server unreachable", Desk::Unreachable, { "restore", "{id}", "--yes" }, 2 },
        { "server unreachable", Desk::Unreachable, { "aux", "list" }, 2 },
        { "server unreachable", Desk::Unreachable, { "trust" }, 2 },
        { "server key changed", Desk::ChangedKey, { "run" }, 2 },
        { "server key changed", Desk::ChangedKey, { "search" }, 2 },
        { "server key changed", Desk::ChangedKey, { "restore", "{id}", "--yes" }, 2 },
        { "server key changed", Desk::ChangedKey, { "aux", "list" }, 2 },
        { "no claims directory", Desk::NoClaimsDir, { "run" }, 2 },
        { "no claims directory", Desk::NoClaimsDir, { "search" }, 2 },
        { "no claims directory", Desk::NoClaimsDir, { "restore", "{id}", "--yes" }, 2 },
        { "no claims directory", Desk::NoClaimsDir, { "aux", "list" }, 2 },
        { "no claims directory", Desk::NoClaimsDir, { "trust" }, 2 },
        { "no claims directory", Desk::NoClaimsDir, { "claim", "json", "1" }, 2 },

        // 3: the job ran, but some claims were not stored.
        { "a claim refused", Desk::RefusedClaim, { "run" }, 3 },
    };
    for (const Case& c : cases) {
        std::string line = std::string(c.cause) + " (" + Name(c.desk) + "):";
        for (const std::string& arg : c.args) {
            line += " " + arg;
        }
        SCOPED_TRACE(line);
        std::string output;
        EXPECT_EQ(Cli(c.desk, c.args, output), c.exitCode) << output;
    }
}
