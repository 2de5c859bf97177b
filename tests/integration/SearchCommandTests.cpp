// whupload-cli search against a real warehouse-server holding claims that an upload run of the
// same command line tool put there, and against the scripted server for a search that fails.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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

    // Runs the tool with only its standard output in `output`, as a script reads it.
    int CliStdout(std::vector<std::string> args, std::string& output)
    {
        args.insert(args.begin(), kCli);
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

namespace {

// A small RFC 4180 reader: quoted fields may hold commas, doubled quotes and line breaks; records
// end with LF (or CR LF).
std::vector<std::vector<std::string>> ReadCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;
    bool fieldStarted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty()) {
            quoted = true;
            fieldStarted = true;
        } else if (c == ',') {
            record.push_back(field);
            field.clear();
            fieldStarted = true;
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r') {
                ++i;
            }
            record.push_back(field);
            records.push_back(record);
            record.clear();
            field.clear();
            fieldStarted = false;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    EXPECT_FALSE(quoted) << "a quoted field runs to the end";
    EXPECT_FALSE(fieldStarted || !field.empty()) << "the last record has no line end";
    return records;
}

// Characters, not bytes, before `pos` in a UTF-8 line.
std::size_t Column(const std::string& line, std::size_t pos)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < pos; ++i) {
        count += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    }
    return count;
}

} // namespace

// Fields with commas, quotes, a line break and letters outside ASCII come out of the table, CSV
// and JSON forms field for field as they went in.
TEST_F(SearchCommandTest, PrintsRowsAsTableCsvOrJson)
{
    test::WarehouseServerProcess server(tree.Path("server"));
    ASSERT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
    Build(server.BaseUrl());
    {
        // The tables hold Windows-1252: ü is FC, Å C5, ö F6.
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        ASSERT_TRUE(claims.FindKey(2));
        claims.Edit();
        claims.FieldByName("AdjLastname").SetText("O'Hara, \"Big\"");
        claims.FieldByName("Primary Ins Last Name").SetText("M\xFCller-\xC5str\xF6m");
        claims.FieldByName("PolicyNumber").SetText("POL \"7\", A");
        claims.FieldByName("LCity").SetText("Z\xFCrich\nNord");
        claims.Post();
        claims.Close();
    }
    std::string output;
    ASSERT_EQ(Cli({ "run" }, output), 0) << output;
    const std::string id = std::to_string(ServerId(2));
    const std::vector<std::string> expected {
        id, "O'Hara, \"Big\"", "CLM-00002", "Müller-Åström", "POL \"7\", A", "Zürich\nNord", "OK", "73102", "2023-10-03"
    };
    const std::vector<std::string> keys { "serverClaimId",   "adjLastName",  "claimNumber",
                                          "insuredLastName", "policyNumber", "lossCity",
                                          "lossState",       "lossZipcode",  "dateOfLoss" };
    const std::vector<std::string> query { "search",     "--claim", "CLM-00002", "--from",
                                           "2023-01-01", "--to",    "2023-12-31" };

    auto withFormat = [&](const std::string& format) {
        std::vector<std::string> args = query;
        args.insert(args.end(), { "--format", format });
        return args;
    };
    std::string csv;
    ASSERT_EQ(CliStdout(withFormat("csv"), csv), 0) << csv;
    EXPECT_EQ(ReadCsv(csv), (std::vector<std::vector<std::string>> { keys, expected })) << csv;
    EXPECT_NE(csv.find("\"O'Hara, \"\"Big\"\"\""), std::string::npos) << csv;

    std::string jsonText;
    ASSERT_EQ(CliStdout(withFormat("json"), jsonText), 0) << jsonText;
    const nlohmann::json document = nlohmann::json::parse(jsonText); // throws on invalid UTF-8
    ASSERT_TRUE(document.is_array()) << jsonText;
    ASSERT_EQ(document.size(), 1u) << jsonText;
    const nlohmann::json& row = document[0];
    ASSERT_EQ(row.size(), keys.size()) << jsonText;
    EXPECT_EQ(row.at("serverClaimId"), ServerId(2));
    for (std::size_t i = 1; i < keys.size(); ++i) {
        EXPECT_EQ(row.at(keys[i]), expected[i]) << keys[i];
    }

    // The table, the default: each column starts at the same character on every line, whatever
    // bytes the letters take in UTF-8.
    ASSERT_EQ(CliStdout(query, output), 0) << output;
    const auto lines = Lines(output);
    ASSERT_EQ(lines.size(), 2u) << output; // the line break in the city does not tear the row
    EXPECT_EQ(lines[0].rfind("Server Claim ID  Adj Last Name  Claim Number", 0), 0u) << output;
    EXPECT_NE(lines[1].find("Zürich Nord"), std::string::npos) << output;
    EXPECT_EQ(Column(lines[1], lines[1].find("Müller")), Column(lines[0], lines[0].find("Insured Last Name")))
        << output;
    EXPECT_EQ(Column(lines[1], lines[1].find("POL \"7\"")), Column(lines[0], lines[0].find("Policy Number"))) << output;

    // Nothing found: CSV has its header line, JSON an empty array.
    const std::vector<std::string> none { "search",     "--claim", "CLM-00002",  "--from",
                                          "2024-01-01", "--to",    "2024-01-31", "--format" };
    std::vector<std::string> args = none;
    args.push_back("csv");
    ASSERT_EQ(CliStdout(args, output), 0) << output;
    EXPECT_EQ(ReadCsv(output), (std::vector<std::vector<std::string>> { keys })) << output;
    args.back() = "json";
    ASSERT_EQ(CliStdout(args, output), 0) << output;
    EXPECT_EQ(nlohmann::json::parse(output), nlohmann::json::array()) << output;

    std::string bad;
    EXPECT_EQ(Cli({ "search", "--format", "xml" }, bad), 2) << bad;
}
