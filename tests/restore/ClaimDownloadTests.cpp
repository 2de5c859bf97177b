// Downloading claims from a real warehouse-server: the claims are put there by an upload run of one
// claims directory, then brought back into a second claims directory and into the same one.
#include <gtest/gtest.h>

#include "ClaimsFixture.h"
#include "app/UploadRun.h"
#include "common/RecordingUserNotice.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "restore/ClaimDownload.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/Clock.h"
#include "support/text/DateTime.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace wh;
using paradox::OpenMode;
using paradox::Table;
using restore::ClaimVersionState;
using restore::DownloadRow;
using test::ReadFile;
namespace fs = std::filesystem;

namespace {

const std::string kDocumentUnreadable = "Error retrieving claim information data";
const std::string kDownloadFailed = "Error Downloading Claim File. Please contact Support";

// ---------------------------------------------------------------------------------------------
// The small helpers, on files and a table of our own.

TEST(FindLocalClaim, FirstClaimWithTheServerIdDecides)
{
    test::TempTree tree;
    const std::string folder = tree.MakeDir("claims");
    Table::Create(folder, "Claims.DB", fixtures::ClaimsFields(), 1);
    struct Local
    {
        int claimId;
        std::optional<int> srvClaimId; // none: the field left empty
        int version;
    };
    const std::vector<Local> locals = {
        { 1, 0, 0 }, // never uploaded
        { 2, std::nullopt, 0 }, // never uploaded, field empty
        { 3, 500, 5 },
        { 4, 500, 9 }, // the same server id again: the first in key order counts
        { 5, 600, 2 },
    };
    {
        Table claims(folder, "Claims.DB");
        claims.Open(OpenMode::Exclusive);
        for (const Local& local : locals) {
            claims.Append();
            fixtures::FillClaimRecord(claims, local.claimId, "2024", "C" + std::to_string(local.claimId), true);
            if (local.srvClaimId) {
                claims.FieldByName("SrvClaimID").SetInteger(*local.srvClaimId);
            } else {
                claims.FieldByName("SrvClaimID").Clear();
            }
            claims.FieldByName("CLVersion").SetInteger(local.version);
            claims.Post();
        }
    }

    struct Case
    {
        std::int64_t serverId;
        std::int64_t serverVersion;
        ClaimVersionState state;
        std::int64_t localClaimId;
    };
    const Case cases[] = {
        { 500, 5, ClaimVersionState::SameVersion, 3 },
        { 500, 7, ClaimVersionState::ServerNewer, 3 },
        { 500, 3, ClaimVersionState::LocalNewer, 3 },
        { 500, 9, ClaimVersionState::ServerNewer, 3 }, // not claim 4, though its version matches
        { 600, 2, ClaimVersionState::SameVersion, 5 },
        { 700, 1, ClaimVersionState::NotOnThisSystem, 0 },
        // A row without a real server id is no claim that was never uploaded.
        { 0, 0, ClaimVersionState::NotOnThisSystem, 0 },
    };
    Table claims(folder, "Claims.DB");
    claims.Open(OpenMode::Shared);
    for (const Case& c : cases) {
        SCOPED_TRACE("server id " + std::to_string(c.serverId) + " version " + std::to_string(c.serverVersion));
        const restore::LocalClaimMatch match = restore::FindLocalClaim(claims, c.serverId, c.serverVersion);
        EXPECT_EQ(match.state, c.state);
        EXPECT_EQ(match.localClaimId, c.localClaimId);
        // The walk stops on the match, or runs to the end.
        if (c.localClaimId != 0) {
            ASSERT_FALSE(claims.Eof());
            EXPECT_EQ(claims.FieldByName("ClaimID").AsInteger(), c.localClaimId);
        } else {
            EXPECT_TRUE(claims.Eof());
        }
    }
}

TEST(DownloadedFile, SizeAndZipSignature)
{
    test::TempTree tree;
    tree.MakeDir("folder.kvz");
    struct Case
    {
        const char* name;
        std::optional<std::string> bytes; // none: no such file
        std::int64_t size;
        bool zip;
    };
    const Case cases[] = {
        { "missing.kvz", std::nullopt, 0, false },
        { "empty.kvz", std::string(), 0, false },
        { "three.kvz", std::string("PK\x03", 3), 3, false },
        { "header.kvz", std::string("PK\x03\x04", 4), 4, true },
        { "local.kvz", std::string("PK\x03\x04\x14\x00garbage", 13), 13, true },
        { "emptyzip.kvz", std::string("PK\x05\x06", 4) + std::string(18, '\0'), 22, false }, // no member at all
        { "spanned.kvz", std::string("PK\x07\x08PK\x03\x04", 8), 8, false },
        { "page.kvz", std::string("{\"msg\":\"No claim archive is stored for 5\"}"), 42, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.bytes ? tree.Write(c.name, *c.bytes) : tree.Path(c.name);
        EXPECT_EQ(restore::DownloadedFileSize(path), c.size);
        EXPECT_EQ(restore::IsZipFile(path), c.zip);
    }
    EXPECT_EQ(restore::DownloadedFileSize(tree.Path("folder.kvz")), 0);
    EXPECT_FALSE(restore::IsZipFile(tree.Path("folder.kvz")));
}

// A download that is there but cannot be read is no ZIP file, and says which file and why; one
// that merely is no ZIP file has nothing to say.
TEST(DownloadedFile, AnUnreadableDownloadNamesTheFileAndTheReason)
{
    test::TempTree tree;
    const std::string folder = tree.MakeDir("folder.kvz"); // opens, but reading it fails
    std::string problem;
    EXPECT_FALSE(restore::IsZipFile(folder, &problem));
    EXPECT_EQ(problem, "Cannot read file " + folder + ": " + std::strerror(EISDIR));
    for (const std::string& path : { tree.Write("page.kvz", "<html>"), tree.Path("missing.kvz") }) {
        problem.clear();
        EXPECT_FALSE(restore::IsZipFile(path, &problem));
        EXPECT_EQ(problem, "") << path;
    }
}

// ---------------------------------------------------------------------------------------------
// Against the warehouse-server.

std::string DialogA(const std::string& cn, const std::string& pn)
{
    return "The claim #: \"" + cn + "\",\r\n" + "       policy #: \" " + pn + "\"\r\n"
        + "was not found on your system!\r\n"
          "\r\n"
          "This claim will be considered \"new\".  If it is uploaded to\r\n"
          "the Data Warehouse, it will be stored as a \"new\" claim. \r\n"
          " \r\n"
          "Do you want to download this claim?";
}

std::string DialogB(const std::string& cn)
{
    return "The selected claim \"" + cn + "\" has a newer\r\n"
        + "version on the server.\r\n"
          "\r\n"
          "Do you want to download the newer version from the\r\n"
          " server replacing the older local version of claim?";
}

std::string DialogC(const std::string& cn, const std::string& pn)
{
    return "The claim #: \"" + cn + "\",\r\n" + "       policy #: \" " + pn + "\"\r\n"
        + "has a newer version on your local computer!\r\n"
          "\r\n"
          "If you download this claim, any new estimate information\r\n"
          "you may have edited will be LOST. \r\n"
          " \r\n"
          "Do you want to download this claim?";
}

std::string Number(int claimId)
{
    const std::string n = std::to_string(claimId);
    return std::string(5 - n.size(), '0') + n;
}

// One workstation downloading: its claims directory, notice, signed-in session and status line.
struct Desk
{
    Desk(const fixtures::ClaimsDirLayout& layout, const std::string& serverBase, const std::string& privateDir)
        : program("WHUPLOAD_PROGRAM_DIR", layout.programDir)
        , claimsDir(layout.claimsDir)
        , env(notice, clock, [] {})
        , session(env)
        , context { env, session, privateDir, [this](const std::string& status) { statuses.push_back(status); } }
    {
        env.PrepareLocalFolders();
        session.SetServerBase(serverBase);
        session.SetSessionCredentials("Acme/jdoe", "pw1");
    }

    void Download(const std::vector<DownloadRow>& rows) { restore::DownloadClaims(context, rows); }

    std::string DownloadFile(std::int64_t serverId) const
    {
        return claimsDir + "/Warehouse/Downloads/" + std::to_string(serverId) + ".kvz";
    }

    // Every record of Claims.DB, every field as text, by ClaimID.
    std::map<std::int64_t, std::string> Records() const
    {
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        std::map<std::int64_t, std::string> records;
        for (claims.First(); !claims.Eof(); claims.Next()) {
            std::string text;
            for (const auto& field : claims.Fields()) {
                text += field->Name() + "=" + field->AsText() + "|";
            }
            records[claims.FieldByName("ClaimID").AsInteger()] = text;
        }
        return records;
    }

    // ClaimID, SrvClaimID, CLVersion and BoxID of every record.
    struct Brief
    {
        std::int64_t claimId, srvClaimId, version, boxId;
        std::string claimNumber;
    };
    std::vector<Brief> Briefs() const
    {
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        std::vector<Brief> briefs;
        for (claims.First(); !claims.Eof(); claims.Next()) {
            briefs.push_back({ claims.FieldByName("ClaimID").AsInteger(), claims.FieldByName("SrvClaimID").AsInteger(),
                               claims.FieldByName("CLVersion").AsInteger(), claims.FieldByName("BoxID").AsInteger(),
                               claims.FieldByName("ClaimNumber").AsText() });
        }
        return briefs;
    }

    void SetVersion(std::int64_t claimId, std::int64_t version)
    {
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        ASSERT_TRUE(claims.FindKey(claimId));
        claims.Edit();
        claims.FieldByName("CLVersion").SetInteger(version);
        claims.Post();
        claims.Flush();
    }

    test::ScopedEnv program;
    std::string claimsDir;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    env::WarehouseEnv env;
    warehouse::WarehouseSession session;
    restore::DownloadContext context;
    std::vector<std::string> statuses;
};

class ClaimDownloadTest : public ::testing::Test
{
protected:
    static constexpr int kClaims = 5;

    ClaimDownloadTest()
        : server(tree.Path("server"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
        , privateDir(tree.MakeDir("tmp/Warehouse"))
    {
        EXPECT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
        text::SetProcessDateConventions(text::StartupDateConventions());
        source = Build("source");
        target = Build("target");
        Upload();
    }

    fixtures::ClaimsDirLayout Build(const std::string& name)
    {
        fixtures::ClaimsDirOptions options;
        options.root = tree.Path(name);
        options.claims = kClaims;
        options.serverAddress = server.BaseUrl();
        options.warehouseUser = "jdoe";
        options.warehousePassword = "pw1";
        options.warehouseCompany = "Acme";
        return fixtures::BuildClaimsDirectory(options);
    }

    // Every claim of the source directory goes to the server; their server ids are noted.
    void Upload()
    {
        test::ScopedEnv program("WHUPLOAD_PROGRAM_DIR", source.programDir);
        test::RecordingUserNotice notice;
        text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
        env::WarehouseEnv environment(notice, clock, [] {});
        environment.PrepareLocalFolders();
        auto session = warehouse::CreateWarehouseSession(environment);
        session->SetServerBase(environment.ReadWarehouseIniValue("WServer"));
        env::UserPrefs prefs(environment);
        app::UploadRunner runner(environment, prefs, *session, notice);
        EXPECT_EQ(runner.RunScheduledUpload(), app::RunResult::Completed);

        Table claims(source.claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        for (claims.First(); !claims.Eof(); claims.Next()) {
            serverIds[static_cast<int>(claims.FieldByName("ClaimID").AsInteger())]
                = claims.FieldByName("SrvClaimID").AsInteger();
        }
        EXPECT_EQ(serverIds.size(), static_cast<std::size_t>(kClaims));
        for (const auto& [claimId, serverId] : serverIds) {
            EXPECT_GT(serverId, 0) << "claim " << claimId << " was not uploaded";
        }
    }

    DownloadRow Row(int claimId) const
    {
        return { static_cast<std::int32_t>(serverIds.at(claimId)), "CLM-" + Number(claimId), "POL-" + Number(claimId) };
    }

    // The server's stored copy of a claim's archive or document.
    std::string Stored(int claimId, const std::string& extension) const
    {
        const std::string name = std::to_string(serverIds.at(claimId)) + "." + extension;
        for (const auto& entry : fs::recursive_directory_iterator(tree.Path("server/store"))) {
            if (entry.path().filename() == name && entry.path().parent_path().filename() == "claims") {
                return entry.path().string();
            }
        }
        ADD_FAILURE() << name << " is not stored";
        return {};
    }

    std::int64_t ServerVersion(int claimId) const
    {
        const auto document = json::Parse(ReadFile(Stored(claimId, "json")));
        return document ? json::MemberInteger(*document, "claim_version").value_or(-1) : -1;
    }

    std::unique_ptr<Desk> SourceDesk() { return std::make_unique<Desk>(source, server.BaseUrl(), privateDir); }
    std::unique_ptr<Desk> TargetDesk() { return std::make_unique<Desk>(target, server.BaseUrl(), privateDir); }

    test::TempTree tree;
    test::WarehouseServerProcess server;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    std::string privateDir;
    fixtures::ClaimsDirLayout source;
    fixtures::ClaimsDirLayout target;
    std::map<int, std::int64_t> serverIds; // source ClaimID -> server claim id
};

const std::vector<std::string> kIdle = { " ", " Idle" };

std::vector<std::string> Statuses(const std::vector<std::string>& retrieving)
{
    std::vector<std::string> statuses;
    for (const std::string& claimNumber : retrieving) {
        statuses.push_back(" Retrieving Claim: " + claimNumber);
    }
    statuses.insert(statuses.end(), kIdle.begin(), kIdle.end());
    return statuses;
}

TEST_F(ClaimDownloadTest, AClaimNotOnThisSystemComesInAsANewClaimInTheInbox)
{
    auto desk = TargetDesk();
    const auto before = desk->Records();
    desk->notice.AnswerNext(true);
    // Numbers as a result row may carry them: the dialog trims, the status line does not.
    DownloadRow row = Row(2);
    row.claimNumber += "   ";
    row.policyNumber = " " + row.policyNumber + "  ";
    desk->Download({ row });

    EXPECT_EQ(desk->notice.questions, std::vector<std::string> { DialogA("CLM-00002", "POL-00002") });
    EXPECT_TRUE(desk->notice.messages.empty()) << desk->notice.messages.front().text;
    EXPECT_EQ(desk->statuses, Statuses({ "CLM-00002   " }));
    EXPECT_FALSE(desk->notice.busyCursor);

    const auto after = desk->Briefs();
    ASSERT_EQ(after.size(), before.size() + 1);
    const Desk::Brief& added = after.back();
    EXPECT_EQ(before.count(added.claimId), 0u);
    EXPECT_EQ(added.claimNumber, "CLM-00002");
    EXPECT_EQ(added.boxId, -200);
    EXPECT_EQ(added.srvClaimId, 0); // treated as new: a later upload gets a new server id
    for (const auto& [claimId, text] : before) {
        EXPECT_EQ(desk->Records().at(claimId), text);
    }
    EXPECT_FALSE(fs::exists(desk->DownloadFile(serverIds.at(2))));
}

// The three comparisons against a local claim of the same server id, each answered both ways.
TEST_F(ClaimDownloadTest, TheVersionComparisonDecidesTheQuestion)
{
    struct Case
    {
        const char* name;
        int claimId;
        int localShift; // local version = server version + this
        bool answer;
        std::string (*dialog)(int claimId); // none: no question at all
        bool restored;
    };
    const auto b = [](int claimId) { return DialogB("CLM-" + Number(claimId)); };
    const auto c = [](int claimId) { return DialogC("CLM-" + Number(claimId), "POL-" + Number(claimId)); };
    const Case cases[] = {
        { "server newer, Yes", 1, -1, true, b, true },  { "server newer, No", 2, -2, false, b, false },
        { "local newer, Yes", 3, +2, true, c, true },   { "local newer, No", 4, +1, false, c, false },
        { "same version", 5, 0, true, nullptr, false },
    };
    auto desk = SourceDesk();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::int64_t serverVersion = ServerVersion(k.claimId);
        ASSERT_GE(serverVersion, 0);
        desk->SetVersion(k.claimId, serverVersion + k.localShift);
        const auto before = desk->Records();
        desk->notice.questions.clear();
        desk->statuses.clear();
        if (k.dialog) {
            desk->notice.AnswerNext(k.answer);
        }

        desk->Download({ Row(k.claimId) });

        const std::vector<std::string> expected
            = k.dialog ? std::vector<std::string> { k.dialog(k.claimId) } : std::vector<std::string> {};
        EXPECT_EQ(desk->notice.questions, expected);
        EXPECT_TRUE(desk->notice.messages.empty()) << desk->notice.messages.front().text;
        EXPECT_EQ(desk->statuses, Statuses({ "CLM-" + Number(k.claimId) }));
        const std::string download = desk->DownloadFile(serverIds.at(k.claimId));
        if (!k.restored) {
            EXPECT_EQ(desk->Records(), before);
            EXPECT_TRUE(restore::IsZipFile(download)) << "the archive stays in the download folder";
            continue;
        }
        // The local claim is replaced: its record gone, one record of the same server id in its
        // place carrying the server's version, in the same box.
        EXPECT_EQ(desk->Records().count(k.claimId), 0u);
        std::vector<Desk::Brief> same;
        for (const Desk::Brief& brief : desk->Briefs()) {
            if (brief.srvClaimId == serverIds.at(k.claimId)) {
                same.push_back(brief);
            }
        }
        ASSERT_EQ(same.size(), 1u);
        EXPECT_EQ(same[0].version, serverVersion);
        EXPECT_EQ(same[0].claimNumber, "CLM-" + Number(k.claimId));
        EXPECT_EQ(desk->Records().size(), before.size());
        EXPECT_FALSE(fs::exists(download));
    }
}

TEST_F(ClaimDownloadTest, NoToANewClaimChangesNothingAndKeepsTheArchive)
{
    auto desk = TargetDesk();
    const auto before = desk->Records();
    desk->notice.AnswerNext(false);
    desk->Download({ Row(1) });
    EXPECT_EQ(desk->notice.questions, std::vector<std::string> { DialogA("CLM-00001", "POL-00001") });
    EXPECT_EQ(desk->Records(), before);
    EXPECT_EQ(ReadFile(desk->DownloadFile(serverIds.at(1))), ReadFile(Stored(1, "kvz")));
}

// The second of three rows has a document the download cannot use: the first row is dealt with,
// the third is never fetched.
TEST_F(ClaimDownloadTest, AnUnreadableDocumentStopsTheRemainingRows)
{
    const std::string documents[] = {
        "", "not a document", "[1,2]", "{\"claimnumber\":\"CLM-00002\"}", "{\"claim_version\":\"soon\"}",
    };
    auto desk = TargetDesk();
    const std::string original = ReadFile(Stored(2, "json"));
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        tree.Write(fs::relative(Stored(2, "json"), tree.Root()).string(), document);
        const auto before = desk->Records();
        desk->notice.messages.clear();
        desk->notice.questions.clear();
        desk->statuses.clear();
        fs::remove(desk->DownloadFile(serverIds.at(3)));

        desk->Download({ Row(1), Row(2), Row(3) }); // no answers: No to the first

        EXPECT_EQ(desk->notice.questions, std::vector<std::string> { DialogA("CLM-00001", "POL-00001") });
        ASSERT_EQ(desk->notice.messages.size(), 1u);
        EXPECT_EQ(desk->notice.messages[0].kind, MessageKind::Warning);
        EXPECT_EQ(desk->notice.messages[0].text, kDocumentUnreadable);
        EXPECT_EQ(desk->statuses, Statuses({ "CLM-00001", "CLM-00002" }));
        EXPECT_FALSE(desk->notice.busyCursor);
        EXPECT_EQ(desk->Records(), before);
        EXPECT_FALSE(fs::exists(desk->DownloadFile(serverIds.at(3))));
    }
    // The same rows with the document put right go all the way.
    tree.Write(fs::relative(Stored(2, "json"), tree.Root()).string(), original);
    desk->notice.messages.clear();
    desk->notice.questions.clear();
    desk->Download({ Row(1), Row(2), Row(3) });
    EXPECT_EQ(desk->notice.questions.size(), 3u);
    EXPECT_TRUE(desk->notice.messages.empty());
}

// Archives that did not arrive as ZIP files are reported one by one; the rows after them go on.
TEST_F(ClaimDownloadTest, ADownloadThatIsNoZipFileIsReportedAndTheNextRowFollows)
{
    tree.Write(fs::relative(Stored(1, "kvz"), tree.Root()).string(), "<html><body>Gateway error</body></html>");
    tree.Write(fs::relative(Stored(2, "kvz"), tree.Root()).string(), "");
    fs::remove(Stored(3, "kvz")); // the server answers 404 with its refusal text
    auto desk = TargetDesk();
    const auto before = desk->Records();
    desk->notice.AnswerNext(true);

    desk->Download({ Row(1), Row(2), Row(3), Row(4) });

    ASSERT_EQ(desk->notice.messages.size(), 3u);
    for (const auto& message : desk->notice.messages) {
        EXPECT_EQ(message.kind, MessageKind::Information);
        EXPECT_EQ(message.text, kDownloadFailed);
    }
    EXPECT_EQ(desk->notice.questions, std::vector<std::string> { DialogA("CLM-00004", "POL-00004") });
    EXPECT_EQ(desk->statuses, Statuses({ "CLM-00001", "CLM-00002", "CLM-00003", "CLM-00004" }));
    // Only the fourth claim came in; what arrived for the first stays where it is.
    const auto after = desk->Briefs();
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(after.back().claimNumber, "CLM-00004");
    EXPECT_EQ(ReadFile(desk->DownloadFile(serverIds.at(1))), "<html><body>Gateway error</body></html>");
}

// An archive the restore cannot open is shown with the restore's own message and ends the download.
TEST_F(ClaimDownloadTest, AnArchiveTheRestoreCannotOpenStopsTheRemainingRows)
{
    tree.Write(fs::relative(Stored(1, "kvz"), tree.Root()).string(),
               std::string("PK\x03\x04", 4) + std::string(200, 'x'));
    auto desk = TargetDesk();
    const auto before = desk->Records();
    desk->notice.AnswerNext(true);
    desk->notice.AnswerNext(true);

    desk->Download({ Row(1), Row(2) });

    EXPECT_EQ(desk->notice.questions, std::vector<std::string> { DialogA("CLM-00001", "POL-00001") });
    ASSERT_EQ(desk->notice.messages.size(), 1u);
    EXPECT_EQ(desk->notice.messages[0].kind, MessageKind::Error);
    EXPECT_FALSE(desk->notice.messages[0].text.empty());
    EXPECT_EQ(desk->statuses, Statuses({ "CLM-00001" }));
    EXPECT_EQ(desk->Records(), before);
    EXPECT_TRUE(fs::exists(desk->DownloadFile(serverIds.at(1)))) << "kept for another try";
}

TEST_F(ClaimDownloadTest, NoRowsOnlyResetTheStatusLine)
{
    auto desk = TargetDesk();
    desk->Download({});
    EXPECT_EQ(desk->statuses, kIdle);
    EXPECT_TRUE(desk->notice.messages.empty());
    EXPECT_TRUE(desk->notice.questions.empty());
    EXPECT_FALSE(desk->notice.busyCursor);
}

TEST_F(ClaimDownloadTest, AClaimsTableThatCannotBeOpenedIsShownAndNothingIsDownloaded)
{
    auto desk = TargetDesk();
    Table held(desk->claimsDir, "Claims.DB");
    held.Open(OpenMode::Exclusive); // the product holds the table for itself
    desk->notice.AnswerNext(true);

    desk->Download({ Row(1) });

    ASSERT_EQ(desk->notice.messages.size(), 1u);
    EXPECT_EQ(desk->notice.messages[0].kind, MessageKind::Error);
    EXPECT_TRUE(desk->notice.questions.empty());
    EXPECT_EQ(desk->statuses, kIdle);
    EXPECT_FALSE(desk->notice.busyCursor);
    EXPECT_FALSE(fs::exists(desk->DownloadFile(serverIds.at(1))));
}

// A transfer cut off after a ZIP signature leaves a file that passes the file check; the failed
// transfer is still reported as a failed download, not offered for restore.
TEST(ClaimDownloadTransfer, ACutTransferIsAFailedDownloadWhateverArrived)
{
    test::TempTree tree;
    test::ScopedEnv dataEnv("XDG_DATA_HOME", tree.Path("data"));
    test::ScopedEnv tmpEnv("TMPDIR", tree.MakeDir("tmp"));
    const fixtures::ClaimsDirLayout layout = fixtures::BuildClaimsDirectory({ .root = tree.Path("root"), .claims = 2 });
    Desk desk(layout, test::SharedScriptedServer().BaseUrl() + "/cutclaim?x=", tree.MakeDir("tmp/Warehouse"));
    desk.session.SetInactivityTimeout(std::chrono::seconds(5));
    const auto before = desk.Records();
    desk.notice.AnswerNext(true);

    desk.Download({ { 77, "CLM-77", "POL-77" } });

    ASSERT_EQ(desk.notice.messages.size(), 1u) << desk.notice.messages.back().text;
    EXPECT_EQ(desk.notice.messages[0].kind, MessageKind::Information);
    EXPECT_EQ(desk.notice.messages[0].text, kDownloadFailed);
    EXPECT_TRUE(desk.notice.questions.empty());
    EXPECT_TRUE(restore::IsZipFile(desk.DownloadFile(77))) << "the cut transfer left a ZIP signature";
    EXPECT_EQ(desk.Records(), before);
}

} // namespace
