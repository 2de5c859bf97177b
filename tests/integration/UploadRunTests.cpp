// Upload runs against a real warehouse-server process, in process with a fixed clock, over a
// claims directory built by the fixture builder.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <linux/capability.h>
#include <map>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "app/UploadRun.h"
#include "common/ChildProcess.h"
#include "common/RecordingUserNotice.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "env/EnginePaths.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "fixtures/ClaimsFixture.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/paradox/SecondaryIndex.h"
#include "support/paradox/Table.h"
#include "support/text/Clock.h"
#include "warehouse/WarehouseTrans.h"

using namespace wh;
using test::ReadFile;

namespace {

constexpr int kClaims = 5; // claims 4 and 5 are open

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

// Makes permission bits bind the calling thread even when it runs as the superuser, whose file
// access otherwise passes over them: CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH leave the thread's
// effective set until the end of the scope. Capabilities belong to the thread, and the run's file
// work is done on the thread that starts it. Without those capabilities nothing changes.
class PermissionBitsBind
{
public:
    PermissionBitsBind()
    {
        m_saved = Get();
        __user_cap_data_struct reduced[2] = { m_saved[0], m_saved[1] };
        reduced[0].effective &= ~(CAP_TO_MASK(CAP_DAC_OVERRIDE) | CAP_TO_MASK(CAP_DAC_READ_SEARCH));
        m_ok = Set(reduced);
    }
    ~PermissionBitsBind() { Set(m_saved.data()); }
    PermissionBitsBind(const PermissionBitsBind&) = delete;
    PermissionBitsBind& operator=(const PermissionBitsBind&) = delete;

    bool Ok() const { return m_ok; }

private:
    static std::array<__user_cap_data_struct, 2> Get()
    {
        __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
        std::array<__user_cap_data_struct, 2> data {};
        ::syscall(SYS_capget, &header, data.data());
        return data;
    }
    static bool Set(__user_cap_data_struct* data)
    {
        __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
        return ::syscall(SYS_capset, &header, data) == 0;
    }

    std::array<__user_cap_data_struct, 2> m_saved {};
    bool m_ok = false;
};

class UploadRunTest : public ::testing::Test
{
protected:
    UploadRunTest()
        : server(tree.Path("server"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
    {
        EXPECT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
        BuildClaims(server.BaseUrl(), false);
    }

    void BuildClaims(const std::string& serverAddress, bool uploadAll)
    {
        fixtures::ClaimsDirOptions options;
        options.root = tree.Root();
        options.claims = kClaims;
        options.openClaims = 2;
        options.serverAddress = serverAddress;
        options.warehouseUser = "jdoe";
        options.warehousePassword = "pw1";
        options.warehouseCompany = "Acme";
        options.uploadAll = uploadAll;
        layout = fixtures::BuildClaimsDirectory(options);
        programEnv.reset(); // restores the variable before it is set again
        programEnv = std::make_unique<test::ScopedEnv>("WHUPLOAD_PROGRAM_DIR", layout.programDir);
        environment = std::make_unique<env::WarehouseEnv>(notice, clock, [] {});
        environment->PrepareLocalFolders();
        text::SetProcessDateConventions(text::StartupDateConventions());
        session = warehouse::CreateWarehouseSession(*environment);
        session->SetServerBase(environment->ReadWarehouseIniValue("WServer"));
        prefs = std::make_unique<env::UserPrefs>(*environment);
        runner = std::make_unique<app::UploadRunner>(*environment, *prefs, *session, notice);
    }

    std::string Log() const { return ReadFile(layout.claimsDir + "/Warehouse/log.txt"); }
    std::size_t LogSize() const
    {
        std::error_code absent;
        const auto size = std::filesystem::file_size(layout.claimsDir + "/Warehouse/log.txt", absent);
        return absent ? 0 : static_cast<std::size_t>(size);
    }
    std::string FolderOf(int claimId) const { return layout.claims.at(claimId - 1).folder; }

    // Runs `change` on the record of `claimId` in Claims.DB.
    template <typename Change> void EditClaim(int claimId, Change change)
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        ASSERT_TRUE(claims.FindKey(claimId));
        claims.Edit();
        change(claims);
        claims.Post();
        claims.Close();
    }

    std::int64_t ClaimField(int claimId, const std::string& field)
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        EXPECT_TRUE(claims.FindKey(claimId));
        return claims.FieldByName(field).AsInteger();
    }

    // Asks the server for a claim id through a session of its own: two draws around a run tell
    // how many ids the run drew.
    std::int64_t DrawId()
    {
        warehouse::WarehouseSession own(*environment);
        own.SetServerBase(server.BaseUrl());
        own.SetSessionCredentials("Acme/jdoe", "pw1");
        const std::string answer = warehouse::GetClaimSequences(own);
        EXPECT_FALSE(answer.empty()) << own.LastServerMessage();
        return answer.empty() ? -1 : std::stoll(answer);
    }

    // Every record of Claims.DB, each field as text.
    std::vector<std::vector<std::string>> ClaimsRows()
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        std::vector<std::vector<std::string>> rows;
        for (claims.First(); !claims.Eof(); claims.Next()) {
            std::vector<std::string> row;
            for (int i = 0; i < claims.FieldCount(); ++i) {
                row.push_back(claims.FieldAt(i).Name() + "=" + claims.FieldAt(i).AsText());
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    // The server's list as id -> version, through a session of its own.
    std::map<std::int64_t, std::int64_t> ServerList()
    {
        warehouse::WarehouseSession own(*environment);
        own.SetServerBase(server.BaseUrl());
        own.SetSessionCredentials("Acme/jdoe", "pw1");
        const auto list = json::Parse(warehouse::GetClaimList(own));
        std::map<std::int64_t, std::int64_t> versions;
        EXPECT_TRUE(list && list->is_array());
        for (const auto& element : list.value_or(json::Value::array())) {
            EXPECT_TRUE(
                versions.emplace(*json::MemberInteger(element, "id"), *json::MemberInteger(element, "version")).second);
        }
        return versions;
    }

    test::TempTree tree;
    test::WarehouseServerProcess server;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    std::unique_ptr<test::ScopedEnv> programEnv;
    fixtures::ClaimsDirLayout layout;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    std::unique_ptr<env::WarehouseEnv> environment;
    std::unique_ptr<warehouse::WarehouseSession> session;
    std::unique_ptr<env::UserPrefs> prefs;
    std::unique_ptr<app::UploadRunner> runner;
};

const std::string T = " @ 03/04/2026 2:05:09 PM\r\n";

std::string SignInLines(const std::string& crode)
{
    return "~~~~~WHT INI INFORMATION \r\n"
           "~~~~~WHT INI INFORMATION Username :Acme/jdoe\r\n"
           "~~~~~WHT INI INFORMATION Password :********\r\n"
           "~~~~~WHT INI INFORMATION URL      :"
        + std::string("%URL%") + "/api/status\r\n" + "WHT upload all claims = False" + T
        + "WHT upload all claims = False" + T + "WHT Authentication Setting Complete" + T + "WHT CRODE " + crode + T
        + "WHT Authentication Setting Complete" + T + "WHT CRODE " + crode + T;
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

} // namespace

TEST_F(UploadRunTest, FirstRunUploadsTheClosedClaimsAndASecondRunNothing)
{
    // What an earlier run cut short left in the staging folder, a half-written archive among it.
    for (const char* leftover : { "7.KVZ", "7.KVZ.a1B2c3", "7.json" }) {
        tree.Write("data/Korvan/Warehouse/Upload/" + std::string(leftover), "left over");
    }
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);

    // The log, line by line.
    std::string expected
        = Replace(SignInLines("11 22 33 44 55"), "%URL%", server.BaseUrl()) + "WHT Claim List received" + T;
    std::map<int, std::int64_t> ids;
    for (int claimId = 1; claimId <= 3; ++claimId) {
        ids[claimId] = ClaimField(claimId, "SrvClaimID");
        const std::string number = layout.claims[claimId - 1].claimNumber;
        expected += std::string(28, '*') + "\r\nProcessing NEW claim number " + number + T + std::string(28, '*')
            + "\r\n" + "WHT uploaded new closed claim " + number + T + "*** File Successfully stored\r\n"
            + "*** Data Successfully stored\r\n";
    }
    expected += "~~~~~WHT claims upload complete" + T;
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(notice.balloons,
              (std::vector<std::string> { "Closed claims are currently uploading.",
                                          "All closed claims current on Warehouse." }));
    EXPECT_EQ(notice.trayState, TrayState::Idle);
    EXPECT_EQ(notice.trayHint, "Warehouse Upload Tool");

    // Ids stamped into both claim records with the identity; registers stamped; open claims untouched.
    std::set<std::int64_t> distinct;
    for (int claimId = 1; claimId <= kClaims; ++claimId) {
        SCOPED_TRACE(claimId);
        paradox::Table own(FolderOf(claimId), "Claims.DB");
        own.Open();
        paradox::Table uploads(FolderOf(claimId), "KW_Uploads.DB");
        uploads.Open();
        if (claimId > 3) {
            EXPECT_EQ(ClaimField(claimId, "SrvClaimID"), 0);
            EXPECT_EQ(own.FieldByName("SrvClaimID").AsInteger(), 0);
            EXPECT_EQ(uploads.RecordCount(), 0);
            continue;
        }
        EXPECT_GT(ids[claimId], 0);
        distinct.insert(ids[claimId]);
        EXPECT_EQ(own.FieldByName("SrvClaimID").AsInteger(), ids[claimId]);
        const std::pair<const char*, std::int64_t> identity[] = { { "CompanyUID", 11 },
                                                                  { "RegionUID", 22 },
                                                                  { "OfficeUID", 33 },
                                                                  { "DepartmentUID", 44 },
                                                                  { "EmployeeUID", 55 } };
        for (const auto& [field, value] : identity) {
            EXPECT_EQ(ClaimField(claimId, field), value) << field;
            EXPECT_EQ(own.FieldByName(field).AsInteger(), value) << field;
        }
        ASSERT_EQ(uploads.RecordCount(), 1);
        uploads.First();
        EXPECT_EQ(uploads.FieldByName("Name").AsText(), "Initial Upload");
        EXPECT_EQ(uploads.FieldByName("RType").AsInteger(), 1);
        EXPECT_EQ(uploads.FieldByName("Date_Uploaded").AsDateTime(), clock.Now());
        EXPECT_EQ(uploads.FieldByName("Date_Created").AsDateTime(), clock.Now());
    }
    EXPECT_EQ(distinct.size(), 3u);

    // On the server: each claim in its version, its document as kept locally, its archive holding
    // the claim folder and the ARCS table.
    const auto list = ServerList();
    EXPECT_EQ(list.size(), 3u);
    for (int claimId = 1; claimId <= 3; ++claimId) {
        SCOPED_TRACE(claimId);
        const std::string id = std::to_string(ids[claimId]);
        EXPECT_EQ(list.at(ids[claimId]), 1);
        warehouse::WarehouseSession own(*environment);
        own.SetServerBase(server.BaseUrl());
        own.SetSessionCredentials("Acme/jdoe", "pw1");
        EXPECT_EQ(warehouse::GetClaimJSONData(own, id),
                  ReadFile(layout.claimsDir + "/Warehouse/Uploads/" + id + ".json"));
        warehouse::GetClaimFile(own, id);
        std::string members;
        ASSERT_EQ(
            test::RunCommand({ "unzip", "-Z1", layout.claimsDir + "/Warehouse/Downloads/" + id + ".kvz" }, &members),
            0);
        const std::string folder = "inbox/" + std::to_string(claimId) + ".kvx/";
        for (const std::string name : { "Claims.DB", "KW_Uploads.DB", "report1.pdf", "photo2.jpg" }) {
            EXPECT_NE(members.find(folder + name + "\n"), std::string::npos) << name << "\n" << members;
        }
        EXPECT_NE(members.find("\nARCS.DB\n"), std::string::npos) << members;
        EXPECT_EQ(members.find("LockOut.txt"), std::string::npos);
    }
    // Lock-out files are gone, and so are the staging files.
    for (const auto& claim : layout.claims) {
        EXPECT_FALSE(std::filesystem::exists(claim.folder + "/LockOut.txt"));
    }
    EXPECT_TRUE(std::filesystem::is_empty(environment->UploadDir()));

    // A second run finds everything current.
    const std::string firstLog = Log();
    notice.balloons.clear();
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    const std::string secondLog = Log().substr(firstLog.size());
    EXPECT_EQ(secondLog,
              Replace(SignInLines("11 22 33 44 55"), "%URL%", server.BaseUrl()) + "WHT Claim List received" + T
                  + "~~~~~WHT claims upload complete" + T);
    EXPECT_EQ(ServerList(), list);
}

// The product may keep secondary indexes on its claims table; a run that stamps ids and identity
// into the records keeps the maintained ones current and leaves the others to the product.
TEST_F(UploadRunTest, TheClaimsTablesIndexesStayCurrentThroughARun)
{
    int srvClaimId = 0;
    int companyUid = 0;
    int employeeUid = 0;
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        srvClaimId = claims.FieldByName("SrvClaimID").Index();
        companyUid = claims.FieldByName("CompanyUID").Index();
        employeeUid = claims.FieldByName("EmployeeUID").Index();
    }
    paradox::SecondaryIndexDef byServerId;
    byServerId.fields = { srvClaimId };
    paradox::SecondaryIndexDef byIdentity;
    byIdentity.fields = { companyUid, employeeUid };
    byIdentity.composite = true;
    byIdentity.name = "Identity";
    paradox::SecondaryIndexDef notKept = byServerId;
    notKept.fields = { employeeUid };
    notKept.maintained = false;
    paradox::Table::AddSecondaryIndex(layout.claimsDir, "Claims.DB", byServerId);
    paradox::Table::AddSecondaryIndex(layout.claimsDir, "Claims.DB", byIdentity);
    const std::string notKeptFile
        = layout.claimsDir + "/" + paradox::Table::AddSecondaryIndex(layout.claimsDir, "Claims.DB", notKept);
    const std::string notKeptBefore = ReadFile(notKeptFile);

    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);

    paradox::Table claims(layout.claimsDir, "Claims.DB");
    claims.Open();
    EXPECT_EQ(claims.Check().differences, std::vector<std::string> {});
    std::multiset<std::string> stamped;
    for (paradox::SecondaryIndex* index : claims.SecondaryIndexes()) {
        if (index->Name() == "SrvClaimID") {
            for (index->Rows()->First(); !index->Rows()->Eof(); index->Rows()->Next()) {
                stamped.insert(index->Rows()->FieldAt(0).AsText());
            }
        }
    }
    std::multiset<std::string> expected;
    for (int claimId = 1; claimId <= kClaims; ++claimId) {
        expected.insert(std::to_string(ClaimField(claimId, "SrvClaimID")));
    }
    EXPECT_EQ(stamped, expected);
    EXPECT_EQ(ReadFile(notKeptFile), notKeptBefore);
}

TEST_F(UploadRunTest, ARaisedVersionIsSentAgainUnderItsIdAndANegativeIdStaysAsStored)
{
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    const std::int64_t id1 = ClaimField(1, "SrvClaimID");
    const std::int64_t id2 = ClaimField(2, "SrvClaimID");
    EditClaim(1, [](paradox::Table& t) { t.FieldByName("CLVersion").SetInteger(3); });
    EditClaim(2, [&](paradox::Table& t) {
        t.FieldByName("CLVersion").SetInteger(2);
        t.FieldByName("SrvClaimID").SetInteger(-id2);
    });
    const std::size_t before = Log().size();
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    const std::string log = Log().substr(before);
    for (int claimId : { 1, 2 }) {
        const std::string number = layout.claims[claimId - 1].claimNumber;
        EXPECT_NE(log.find(std::string(32, '*') + "\r\nProcessing existing claim number " + number + T
                           + std::string(32, '*') + "\r\nWHT uploaded closed claim " + number + T),
                  std::string::npos)
            << log;
    }
    EXPECT_EQ(log.find("NEW claim"), std::string::npos);
    const auto list = ServerList();
    EXPECT_EQ(list.at(id1), 3);
    EXPECT_EQ(list.at(id2), 2);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(ClaimField(2, "SrvClaimID"), -id2);
}

TEST_F(UploadRunTest, UploadAllTakesOpenClaimsButNeverTypes5And9NorTrash)
{
    BuildClaims(server.BaseUrl(), true);
    EditClaim(1, [](paradox::Table& t) { t.FieldByName("ClaimType").SetInteger(5); });
    EditClaim(4, [](paradox::Table& t) { t.FieldByName("ClaimType").SetInteger(9); });
    EditClaim(2, [](paradox::Table& t) { t.FieldByName("Claimdir").SetText("trash"); });
    std::filesystem::create_directories(layout.claimsDir + "/trash/2.kvx");
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    EXPECT_EQ(notice.balloons.front(), "All claims are currently uploading.");
    EXPECT_EQ(notice.balloons.back(), "All claims current on Warehouse.");
    const std::map<int, bool> uploaded = { { 1, false }, { 2, false }, { 3, true }, { 4, false }, { 5, true } };
    for (const auto& [claimId, sent] : uploaded) {
        EXPECT_EQ(ClaimField(claimId, "SrvClaimID") != 0, sent) << claimId;
    }
    EXPECT_EQ(ServerList().size(), 2u);
    // Open claims are logged with the same words as closed ones.
    EXPECT_NE(Log().find("WHT uploaded new closed claim " + layout.claims[4].claimNumber + T), std::string::npos);
}

TEST_F(UploadRunTest, AClaimWhoseLockOutFileIsHeldWaitsForALaterRun)
{
    const std::string lockOut = FolderOf(2) + "/LockOut.txt";
    const int held = ::open(lockOut.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::write(held, "product", 7), 7);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    EXPECT_EQ(ClaimField(2, "SrvClaimID"), 0);
    EXPECT_NE(ClaimField(1, "SrvClaimID"), 0);
    EXPECT_NE(ClaimField(3, "SrvClaimID"), 0);
    EXPECT_EQ(Log().find(layout.claims[1].claimNumber), std::string::npos);
    EXPECT_EQ(ReadFile(lockOut), "product"); // the product's file is neither emptied nor removed

    ::close(held);
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    EXPECT_NE(ClaimField(2, "SrvClaimID"), 0);
    EXPECT_FALSE(std::filesystem::exists(lockOut));
}

TEST_F(UploadRunTest, AServerThatStopsAnsweringMidRunLosesNothing)
{
    session->SetInactivityTimeout(std::chrono::seconds(2));
    bool frozen = false;
    runner->Progress = [&](const upload::ClaimProgress& progress) {
        if (progress.step == upload::ClaimProgress::Step::Uploading && progress.index == 2 && !frozen) {
            frozen = true;
            ::kill(server.Pid(), SIGSTOP);
        }
    };
    const app::RunResult first = runner->RunScheduledUpload();
    ::kill(server.Pid(), SIGCONT);
    ASSERT_TRUE(frozen);
    EXPECT_EQ(first, app::RunResult::Completed);
    // Claim 2 got its id, then its archive met the frozen server; claim 3 got no id at all.
    const std::int64_t id2 = ClaimField(2, "SrvClaimID");
    EXPECT_NE(ClaimField(1, "SrvClaimID"), 0);
    EXPECT_NE(id2, 0);
    EXPECT_EQ(ClaimField(3, "SrvClaimID"), 0);
    EXPECT_NE(Log().find("WHT uploaded new closed claim " + layout.claims[1].claimNumber + T + "*** File \r\n"),
              std::string::npos);
    EXPECT_EQ(ServerList().count(id2), 0u);

    runner->Progress = nullptr;
    const std::size_t before = Log().size();
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    EXPECT_NE(Log().find("!!!! EXISTING CLAIM NOT PROCESSED " + layout.claims[1].claimNumber + T, before),
              std::string::npos);
    EXPECT_EQ(ClaimField(2, "SrvClaimID"), id2);
    const auto list = ServerList();
    ASSERT_EQ(list.size(), 3u);
    for (int claimId = 1; claimId <= 3; ++claimId) {
        EXPECT_EQ(list.count(ClaimField(claimId, "SrvClaimID")), 1u) << claimId;
    }
}

TEST_F(UploadRunTest, RefusedSignInsAndListsEndTheRunBeforeAnyClaim)
{
    struct Case
    {
        std::string script;
        app::RunResult result;
        std::string balloonStart;
    };
    const std::string base = test::SharedScriptedServer().BaseUrl();
    const Case cases[] = {
        { "/status/401?body=%7B%22msg%22%3A%22Unknown%20user%22%7D&x=", app::RunResult::SignInFailed,
          "Authentication Error: Please check username and password.\r\nUnknown user" },
        { "/mini?status=%5B1%2C2%5D&x=", app::RunResult::SignInFailed,
          "Authentication Error: Please check username and password.\r\n[1,2]" },
        { "/mini?status=%7B%22companyid%22%3A1%7D&x=", app::RunResult::SignInFailed,
          "Authentication Error: Please check username and password.\r\n" },
        { "/mini?list=%7B%7D&x=", app::RunResult::ClaimListFailed, "The server's claim list is not a list: {}" },
        { "/status/403?x=", app::RunResult::SignInFailed,
          "Authentication Error: Please check username and password.\r\nError Code : 403\r\nForbidden" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        session->SetServerBase(base + c.script);
        notice.balloons.clear();
        notice.trayState = TrayState::Idle;
        EXPECT_EQ(runner->RunScheduledUpload(), c.result);
        ASSERT_FALSE(notice.balloons.empty());
        EXPECT_EQ(notice.balloons.back().rfind(c.balloonStart, 0), 0u) << notice.balloons.back();
        EXPECT_EQ(notice.trayState, TrayState::Attention);
        EXPECT_EQ(ClaimField(1, "SrvClaimID"), 0);
    }
    EXPECT_EQ(Log().find("WHT Claim List received"), std::string::npos);
    EXPECT_NE(Log().find("WHT CRODE 0 0 0 0 -1" + T), std::string::npos);
}

TEST_F(UploadRunTest, ASequenceAnswerThatIsNoNumberEndsTheRunWithTheClaimStillNew)
{
    session->SetServerBase(test::SharedScriptedServer().BaseUrl() + "/mini?seq=abc&x=");
    EXPECT_EQ(runner->RunScheduledUpload(), app::RunResult::Failed);
    EXPECT_EQ(ClaimField(1, "SrvClaimID"), 0);
    const std::string log = Log();
    const std::string tail = std::string(28, '*') + "\r\nProcessing NEW claim number " + layout.claims[0].claimNumber
        + T + std::string(28, '*') + "\r\nWHT upload run stopped: 'abc' is not a valid integer value" + T;
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_EQ(notice.trayState, TrayState::Attention);
    EXPECT_EQ(notice.balloons.back(), "The upload run stopped: 'abc' is not a valid integer value");
    EXPECT_FALSE(std::filesystem::exists(FolderOf(1) + "/LockOut.txt"));
    EXPECT_TRUE(std::filesystem::is_empty(environment->UploadDir()));
}

TEST_F(UploadRunTest, IncompleteSettingsLogOnlyTheSettingsAndAskForThem)
{
    prefs->WritePassword("");
    EXPECT_EQ(runner->RunScheduledUpload(), app::RunResult::SettingsIncomplete);
    EXPECT_EQ(Log(),
              "~~~~~WHT INI INFORMATION \r\n~~~~~WHT INI INFORMATION Username :Acme/jdoe\r\n"
              "~~~~~WHT INI INFORMATION Password :\r\n~~~~~WHT INI INFORMATION URL      :"
                  + server.BaseUrl() + "/api/status\r\n");
    EXPECT_EQ(notice.balloons,
              (std::vector<std::string> { "Please setup your Warehouse settings in Korvan preferences." }));
    EXPECT_EQ(notice.trayState, TrayState::Attention);
}

// A UserP.ini that is there but cannot be read leaves the settings unknown, not empty: the run and
// the commands' sign-in name the file and the reason instead of asking for settings the user has.
TEST_F(UploadRunTest, AnUnreadableSettingsFileIsNamedWithItsReasonAndNothingIsSent)
{
    const std::string path = prefs->UserPrefsPath();
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    prefs->FreeUserPrefsCache();

    EXPECT_EQ(runner->RunScheduledUpload(), app::RunResult::Failed);
    ASSERT_EQ(notice.balloons.size(), 1u);
    EXPECT_EQ(notice.balloons[0],
              "The upload run stopped: Cannot read the warehouse settings from \"" + path + "\". "
                  + SystemErrorText(EISDIR));
    EXPECT_EQ(notice.trayState, TrayState::Attention);

    EXPECT_FALSE(runner->SignInAfresh());
    ASSERT_EQ(notice.balloons.size(), 2u);
    EXPECT_EQ(notice.balloons[1], notice.balloons[0].substr(std::string("The upload run stopped: ").size()));
    // No settings were logged as read, and no sign-in was made with settings that were not.
    EXPECT_EQ(Log().find("INI INFORMATION"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("WHT Authentication Setting Complete"), std::string::npos) << Log();
    EXPECT_NE(Log().find("WHT upload run stopped: Cannot read the warehouse settings from"), std::string::npos);
}

TEST_F(UploadRunTest, DebugModeKeepsTheClaimListAndATraceOfEveryRecord)
{
    runner->DebugMode = true;
    ASSERT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed);
    EXPECT_EQ(ReadFile(layout.claimsDir + "/Warehouse/ClaimList.txt"), "[]\r\n");
    const std::string trace = ReadFile(layout.claimsDir + "/Warehouse/ProcessFileList.txt");
    EXPECT_EQ(trace.rfind("Processing Claims\r\nWHT Processing Claim CLM-00001\r\n Server Claim Number : 0\r\n"
                          " Policy Number : POL-00001\r\n Claim Number : CLM-00001\r\n Ins First Name : ",
                          0),
              0u)
        << trace;
    EXPECT_EQ(test::CountOf(trace, "WHT Processing Claim "), static_cast<std::size_t>(kClaims)); // open claims too
}

// A record must name a folder strictly below the claims directory before anything is done in its
// name: otherwise its lock-out, its stamping and its upload land in the claims directory itself
// (whose Claims.DB is the claims table: another claim would get this claim's id), in a folder
// beside it or anywhere a link leads. Such a record is passed over with one line naming it.
TEST_F(UploadRunTest, ARecordNamingNoFolderBelowTheClaimsDirectoryIsPassedOverWithALine)
{
    // A copy of claim 2's folder outside the claims directory, reachable by each of the names below.
    std::filesystem::copy(FolderOf(2), tree.Path("elsewhere"), std::filesystem::copy_options::recursive);
    std::filesystem::create_directory_symlink(tree.Path("elsewhere"), layout.claimsDir + "/inbox/away");
    std::filesystem::create_directory_symlink(tree.Root(), layout.claimsDir + "/far");
    const std::string outsideTable = tree.Path("elsewhere/Claims.DB");
    const std::string outsideBefore = ReadFile(outsideTable);

    struct Case
    {
        std::string what;
        std::string claimDir;
        std::string claimSubdir;
    };
    const Case cases[] = {
        { "empty Claimdir and ClaimSubdir: the claims directory itself", "", "" },
        { "empty Claimdir", "", "inbox" },
        { "empty ClaimSubdir", "inbox", "" },
        { "blank ClaimSubdir", "inbox", " " },
        { "dot parts", ".", "." },
        { "a parent part", "..", "elsewhere" },
        { "a parent part inside Claimdir", "inbox\\..\\..", "elsewhere" },
        { "an absolute Claimdir", tree.Root(), "elsewhere" },
        { "a claim folder that is a link leading out", "inbox", "away" },
        { "a Claimdir that is a link leading out", "far", "elsewhere" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BuildClaims(server.BaseUrl(), false);
        // Claims 1 and 3 are never uploaded, so that the run has no reason to draw an id.
        for (int other : { 1, 3 }) {
            EditClaim(other, [](paradox::Table& t) { t.FieldByName("ClaimType").SetInteger(5); });
        }
        EditClaim(2, [&](paradox::Table& t) {
            t.FieldByName("Claimdir").SetText(c.claimDir);
            t.FieldByName("ClaimSubdir").SetText(c.claimSubdir);
        });
        const auto rowsBefore = ClaimsRows();
        const std::size_t logBefore = LogSize();
        const std::int64_t idBefore = DrawId();

        EXPECT_EQ(runner->RunScheduledUpload(), app::RunResult::Completed) << Log();

        EXPECT_EQ(DrawId(), idBefore + 1) << "the run drew a claim id";
        EXPECT_EQ(ClaimsRows(), rowsBefore) << "a record of Claims.DB changed";
        EXPECT_EQ(ReadFile(outsideTable), outsideBefore);
        EXPECT_FALSE(std::filesystem::exists(tree.Path("elsewhere/LockOut.txt")));
        EXPECT_TRUE(ServerList().empty());
        const std::string log = Log().substr(logBefore);
        const std::string number = layout.claims[1].claimNumber;
        EXPECT_EQ(test::CountOf(log, number), 1u) << log;
        const std::size_t line = log.find("WHT claim " + number + " skipped: the claim folder ");
        EXPECT_NE(line, std::string::npos) << log;
        EXPECT_TRUE(line == std::string::npos || log.find(T, line) != std::string::npos);
        EXPECT_EQ(notice.balloons.back(), "All closed claims current on Warehouse.");
    }
}

// A claim file that cannot be packed ends the run; the log and the balloon say which file and why,
// not merely that the archive it left unmade cannot be opened.
TEST_F(UploadRunTest, AClaimFileThatCannotBeReadIsNamedWithTheReason)
{
    struct Case
    {
        std::string what;
        std::string file;
        std::string reason;
    };
    const Case cases[] = {
        { "a document nobody may read", FolderOf(1) + "/report1.pdf", "Permission denied" },
        { "a pipe among the documents", FolderOf(1) + "/queue", "it is not a file" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BuildClaims(server.BaseUrl(), false);
        if (c.reason == "Permission denied") {
            ASSERT_EQ(::chmod(c.file.c_str(), 0), 0);
        } else {
            ASSERT_EQ(::mkfifo(c.file.c_str(), 0644), 0);
        }
        app::RunResult result;
        {
            PermissionBitsBind bind;
            ASSERT_TRUE(bind.Ok());
            if (c.reason == "Permission denied") {
                const int fd = ::open(c.file.c_str(), O_RDONLY);
                ASSERT_LT(fd, 0) << "the document is still readable";
            }
            result = runner->RunScheduledUpload();
        }
        std::filesystem::remove(c.file);

        EXPECT_EQ(result, app::RunResult::Failed);
        const std::string log = Log();
        const std::size_t stopped = log.rfind("WHT upload run stopped: ");
        ASSERT_NE(stopped, std::string::npos) << log;
        const std::string line = log.substr(stopped, log.find("\r\n", stopped) - stopped);
        const std::string& balloon = notice.balloons.back();
        for (const std::string& text : { line, balloon }) {
            EXPECT_NE(text.find(layout.claims[0].claimNumber), std::string::npos) << text;
            EXPECT_NE(text.find(c.file), std::string::npos) << text;
            EXPECT_NE(text.find(c.reason), std::string::npos) << text;
            EXPECT_EQ(text.find("Cannot open file"), std::string::npos) << text;
        }
        EXPECT_EQ(balloon.rfind("The upload run stopped: ", 0), 0u) << balloon;
        EXPECT_TRUE(ServerList().empty());
    }
}

// A claim whose record cannot be stamped would draw a server id in every run and keep none: the
// run stops before the id request, and says which table is in the way.
TEST_F(UploadRunTest, AClaimThatCannotBeStampedStopsTheRunBeforeAnIdIsDrawn)
{
    struct Case
    {
        std::string what;
        std::string table; // made read-only
    };
    const Case cases[] = {
        { "the claims table", layout.claimsDir + "/Claims.DB" },
        { "the claim folder's own table", FolderOf(1) + "/Claims.DB" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BuildClaims(server.BaseUrl(), false);
        const auto rowsBefore = ClaimsRows();
        const std::string folderTableBefore = ReadFile(FolderOf(1) + "/Claims.DB");
        const std::int64_t idBefore = DrawId();
        ASSERT_EQ(::chmod(c.table.c_str(), 0444), 0);
        app::RunResult result;
        {
            PermissionBitsBind bind;
            ASSERT_TRUE(bind.Ok());
            const int fd = ::open(c.table.c_str(), O_RDWR);
            ASSERT_LT(fd, 0) << "the table is still writable";
            ASSERT_EQ(errno, EACCES);
            result = runner->RunScheduledUpload();
        }
        ::chmod(c.table.c_str(), 0644);

        EXPECT_EQ(result, app::RunResult::Failed);
        EXPECT_EQ(DrawId(), idBefore + 1) << "the run drew a claim id";
        EXPECT_EQ(ClaimsRows(), rowsBefore);
        EXPECT_EQ(ReadFile(FolderOf(1) + "/Claims.DB"), folderTableBefore);
        const std::string number = layout.claims[0].claimNumber;
        const std::string message = "Claim " + number + " cannot be stamped, so no claim id was asked for: Table \""
            + c.table + "\": the table is read-only: Permission denied.";
        const std::string log = Log();
        const std::string tail = "Processing NEW claim number " + number + T + std::string(28, '*') + "\r\n"
            + "WHT upload run stopped: " + message + T;
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
        EXPECT_EQ(notice.balloons.back(), "The upload run stopped: " + message);
        EXPECT_EQ(notice.trayState, TrayState::Attention);
        EXPECT_FALSE(std::filesystem::exists(FolderOf(1) + "/LockOut.txt"));
    }
}

// The command-line run tells a script that claims were left off the server: exit code 3, and the
// progress lines name them.
TEST_F(UploadRunTest, TheCommandLineRunEndsWith3WhenAClaimWasNotStored)
{
    // Claim 2 carries an id this server never handed out: it refuses the archive.
    EditClaim(2, [](paradox::Table& t) { t.FieldByName("SrvClaimID").SetInteger(987654); });
    std::string output;
    EXPECT_EQ(test::RunCommand({ kCli, "run" }, &output), 3) << output;
    const std::string number = layout.claims[1].claimNumber;
    EXPECT_NE(output.find("[2/5] claim " + number + " not stored: "), std::string::npos) << output;
    EXPECT_NE(output.find("987654"), std::string::npos) << output;
    for (int claimId : { 1, 3 }) {
        EXPECT_EQ(output.find(layout.claims[claimId - 1].claimNumber + " not stored"), std::string::npos) << output;
    }
    EXPECT_EQ(ServerList().size(), 2u);

    // Once the claim takes a new id, everything is stored and the run ends with 0.
    EditClaim(2, [](paradox::Table& t) { t.FieldByName("SrvClaimID").SetInteger(0); });
    EXPECT_EQ(test::RunCommand({ kCli, "run" }, &output), 0) << output;
    EXPECT_EQ(output.find("not stored"), std::string::npos) << output;
    EXPECT_EQ(ServerList().size(), 3u);
}
