// The pieces of an upload that need no server: the upload register, the record copy, the claim
// lock-out file and the look-up in the server's claim list.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <unistd.h>

#include "common/Workstation.h"
#include "support/Errors.h"
#include "support/paradox/Table.h"
#include "upload/ClaimFolder.h"
#include "upload/ClaimLockOut.h"
#include "upload/ProcessClaims.h"
#include "upload/UploadClaim.h"
#include "warehouse/WarehouseSession.h"

using namespace wh;
using paradox::FieldDef;
using paradox::FieldType;
using paradox::Table;
using test::ReadFile;

namespace {

const text::DateTime kCLVerDate = text::EncodeDateTime({ 2025, 11, 20, 8, 15, 0 });
const text::DateTime kEarlier = text::EncodeDateTime({ 2025, 1, 2, 3, 4, 5 });

struct RegisterRow
{
    std::string name;
    int rtype = 0;
    std::optional<text::DateTime> created;
    std::optional<text::DateTime> uploaded;

    bool operator==(const RegisterRow&) const = default;
};

std::ostream& operator<<(std::ostream& out, const RegisterRow& row)
{
    return out << "{" << row.name << ", " << row.rtype << ", " << (row.created ? row.created->value : -1) << ", "
               << (row.uploaded ? row.uploaded->value : -1) << "}";
}

class RegisterTest : public ::testing::Test, protected test::Workstation
{
protected:
    RegisterTest()
        : session(env)
        , run(env, session, notice)
    {
        folder = tree.MakeDir("claims/inbox/1.kvx");
        Table::Create(tree.Path("claims"), "Claims.DB",
                      { { "ClaimID", FieldType::Long }, { "CLVerDate", FieldType::Timestamp } }, 1);
        claims = std::make_unique<Table>(tree.Path("claims"), "Claims.DB");
        claims->Open();
        claims->Append();
        claims->FieldByName("ClaimID").SetInteger(1);
        claims->FieldByName("CLVerDate").SetDateTime(kCLVerDate);
        claims->Post();
        claims->First();
    }

    void WriteRegister(const std::vector<RegisterRow>& rows)
    {
        Table::Create(folder, "KW_Uploads.DB",
                      { { "Name", FieldType::Alpha, 40 },
                        { "RType", FieldType::Long },
                        { "Date_Created", FieldType::Timestamp },
                        { "Date_Uploaded", FieldType::Timestamp } });
        Table uploads(folder, "KW_Uploads.DB");
        uploads.Open();
        for (const RegisterRow& row : rows) {
            uploads.Append();
            if (!row.name.empty()) {
                uploads.FieldByName("Name").SetText(row.name);
            }
            uploads.FieldByName("RType").SetInteger(row.rtype);
            if (row.created) {
                uploads.FieldByName("Date_Created").SetDateTime(*row.created);
            }
            if (row.uploaded) {
                uploads.FieldByName("Date_Uploaded").SetDateTime(*row.uploaded);
            }
            uploads.Post();
        }
    }

    std::vector<RegisterRow> ReadRegister()
    {
        Table uploads(folder, "KW_Uploads.DB");
        uploads.Open();
        std::vector<RegisterRow> rows;
        for (uploads.First(); !uploads.Eof(); uploads.Next()) {
            RegisterRow row;
            row.name = uploads.FieldByName("Name").AsText();
            row.rtype = static_cast<int>(uploads.FieldByName("RType").AsInteger());
            if (!uploads.FieldByName("Date_Created").IsNull()) {
                row.created = uploads.FieldByName("Date_Created").AsDateTime();
            }
            if (!uploads.FieldByName("Date_Uploaded").IsNull()) {
                row.uploaded = uploads.FieldByName("Date_Uploaded").AsDateTime();
            }
            rows.push_back(row);
        }
        return rows;
    }

    warehouse::WarehouseSession session;
    upload::UploadRunContext run;
    std::string folder;
    std::unique_ptr<Table> claims;
};

} // namespace

TEST_F(RegisterTest, OnlyTheLastRowIsEverStamped)
{
    const text::DateTime now = clock.Now();
    struct Case
    {
        const char* what;
        std::vector<RegisterRow> before;
        std::vector<RegisterRow> after;
    };
    const Case cases[] = {
        { "an empty register gets its first row", {}, { { "Initial Upload", 1, now, now } } },
        { "a lone unnamed row becomes the initial upload of the claim's version",
          { { "", 0, kEarlier, std::nullopt } },
          { { "Initial Upload", 1, kCLVerDate, now } } },
        { "a lone named row is only stamped",
          { { "Revision 2", 4, kEarlier, std::nullopt } },
          { { "Revision 2", 4, kEarlier, now } } },
        { "the last row is stamped, an earlier unstamped one stays",
          { { "A", 1, kEarlier, std::nullopt }, { "", 2, std::nullopt, std::nullopt } },
          { { "A", 1, kEarlier, std::nullopt }, { "", 2, std::nullopt, now } } },
        { "an uploaded first row and an unstamped last row",
          { { "A", 1, kEarlier, kEarlier }, { "B", 2, kEarlier, std::nullopt } },
          { { "A", 1, kEarlier, kEarlier }, { "B", 2, kEarlier, now } } },
        { "a stamped last row leaves everything as it was",
          { { "B", 2, kEarlier, std::nullopt }, { "A", 1, kEarlier, kEarlier } },
          { { "B", 2, kEarlier, std::nullopt }, { "A", 1, kEarlier, kEarlier } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteRegister(c.before);
        upload::RecordUpload(run, folder, *claims);
        EXPECT_EQ(ReadRegister(), c.after);
    }
}

TEST_F(RegisterTest, AFolderWithoutARegisterIsLeftAlone)
{
    EXPECT_NO_THROW(upload::RecordUpload(run, folder, *claims));
    EXPECT_FALSE(Table::Exists(folder, "KW_Uploads.DB"));
}

TEST(CopyRecordFields, CopiesByNameWithoutRegardToCaseAndConverts)
{
    test::TempTree tree;
    const std::string dir = tree.Root();
    Table::Create(dir, "Src.DB",
                  { { "Name", FieldType::Alpha, 20 },
                    { "Count", FieldType::Long },
                    { "Notes", FieldType::Memo, 10 },
                    { "Only", FieldType::Alpha, 5 },
                    { "Seq", FieldType::Long },
                    { "Empty", FieldType::Alpha, 5 } });
    Table::Create(dir, "Dst.DB",
                  { { "COUNT", FieldType::Alpha, 10 },
                    { "name", FieldType::Alpha, 20 },
                    { "notes", FieldType::Memo, 10 },
                    { "Seq", FieldType::AutoInc },
                    { "Empty", FieldType::Alpha, 5 },
                    { "Kept", FieldType::Alpha, 5 } });
    Table source(dir, "Src.DB");
    source.Open();
    source.Append();
    source.FieldByName("Name").SetText("Smith");
    source.FieldByName("Count").SetInteger(42);
    const std::string longNote(300, 'n'); // longer than the field's leader in the record
    source.FieldByName("Notes").SetText(longNote);
    source.FieldByName("Only").SetText("x");
    source.FieldByName("Seq").SetInteger(999);
    source.Post();
    source.First();

    const auto copy = [&](int first, int last) {
        Table::EmptyTable(dir, "Dst.DB");
        Table destination(dir, "Dst.DB");
        destination.Open();
        destination.Append();
        destination.FieldByName("Empty").SetText("full");
        destination.FieldByName("Kept").SetText("kept");
        if (first < 0) {
            upload::CopyRecordFields(source, destination);
        } else {
            upload::CopyRecordFields(source, destination, first, last);
        }
        destination.Post();
        destination.First();
        return std::vector<std::string> { destination.FieldByName("COUNT").AsText(),
                                          destination.FieldByName("name").AsText(),
                                          destination.FieldByName("notes").AsText(),
                                          destination.FieldByName("Seq").AsText() == "999" ? "copied" : "engine's",
                                          destination.FieldByName("Empty").AsText(),
                                          destination.FieldByName("Kept").AsText() };
    };
    // Whole record: the number becomes text, the memo comes whole, the counter keeps the engine's
    // value, an empty source empties its namesake, a field without a namesake keeps its value.
    EXPECT_EQ(copy(-1, -1), (std::vector<std::string> { "42", "Smith", longNote, "engine's", "", "kept" }));
    // Fields 1 to 2 only (Count, Notes); a last index past the end is cut to the last field.
    EXPECT_EQ(copy(1, 2), (std::vector<std::string> { "42", "", longNote, "engine's", "full", "kept" }));
    EXPECT_EQ(copy(4, 99), (std::vector<std::string> { "", "", "", "engine's", "", "kept" }));
    EXPECT_EQ(copy(3, 2), (std::vector<std::string> { "", "", "", "engine's", "full", "kept" }));
}

TEST(ClaimLockOut, IsTakenOnlyWhenNobodyHoldsItAndRemovedOnlyWhenOurs)
{
    test::TempTree tree;
    const std::string a = tree.MakeDir("a");
    const std::string b = tree.MakeDir("b");
    upload::ClaimLockOut lockOut;

    ASSERT_TRUE(lockOut.AcquireClaimLockOut(a));
    EXPECT_TRUE(std::filesystem::exists(a + "/LockOut.txt"));
    upload::ClaimLockOut other; // another program working the same way
    EXPECT_FALSE(other.AcquireClaimLockOut(a));
    other.ReleaseClaimLockOut();
    EXPECT_TRUE(std::filesystem::exists(a + "/LockOut.txt")); // still ours

    ASSERT_TRUE(lockOut.AcquireClaimLockOut(b)); // gives up a's first
    EXPECT_FALSE(std::filesystem::exists(a + "/LockOut.txt"));
    lockOut.ReleaseClaimLockOut();
    EXPECT_FALSE(std::filesystem::exists(b + "/LockOut.txt"));

    // A file left behind closed is taken over and emptied, then removed.
    tree.Write("a/LockOut.txt", "stale");
    ASSERT_TRUE(lockOut.AcquireClaimLockOut(a));
    EXPECT_EQ(ReadFile(a + "/LockOut.txt"), "");
    lockOut.ReleaseClaimLockOut();
    EXPECT_FALSE(std::filesystem::exists(a + "/LockOut.txt"));

    // The product's file, held under its lock: neither emptied nor removed.
    tree.Write("b/LockOut.txt", "product");
    const int held = ::open((b + "/LockOut.txt").c_str(), O_RDWR);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(lockOut.AcquireClaimLockOut(b));
    lockOut.ReleaseClaimLockOut();
    EXPECT_EQ(ReadFile(b + "/LockOut.txt"), "product");
    ::close(held);

    EXPECT_FALSE(lockOut.AcquireClaimLockOut(tree.Path("missing")));
    EXPECT_FALSE(lockOut.Held());
}

TEST(ServerClaimIndex, TheFirstWellFormedElementOfAnIdWins)
{
    const auto list = json::Parse(R"([{"id":7,"version":2},{"id":7,"version":9},{"id":8},{"id":"x","version":1},
        {"version":3},5,{"id":9,"version":4,"other":true},{"id":10,"version":"6"}])");
    ASSERT_TRUE(list);
    const upload::ServerClaimIndex index(*list);
    EXPECT_EQ(index.VersionOf(7), 2);
    EXPECT_EQ(index.VersionOf(8), std::nullopt);
    EXPECT_EQ(index.VersionOf(9), 4);
    EXPECT_EQ(index.VersionOf(10), 6);
    EXPECT_EQ(index.VersionOf(1), std::nullopt);
    EXPECT_EQ(upload::ServerClaimIndex(json::Value::object()).Size(), 0u);
}

TEST(ClaimIsCurrentOnServer, IsFalseOnlyForTheSameIdInAnOlderVersion)
{
    struct Case
    {
        std::int64_t serverId, localId, serverVersion, localVersion;
        bool current;
    };
    const Case cases[] = {
        { 7, 7, 2, 3, false }, { 7, 7, 3, 3, true }, { 7, 7, 4, 3, true }, { 7, 8, 2, 3, true }, { 7, 7, -1, 0, false },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(upload::ClaimIsCurrentOnServer(c.serverId, c.localId, c.serverVersion, c.localVersion), c.current)
            << c.serverId << " " << c.localId << " " << c.serverVersion << " " << c.localVersion;
    }
}

TEST(FindClaimFolder, TakesOnlyAFolderStrictlyBelowTheClaimsDirectory)
{
    test::TempTree tree;
    const std::string claimsDir = tree.MakeDir("claims");
    tree.MakeDir("claims/Inbox/1.kvx");
    tree.MakeDir("claims/inbox2/Sub/2.kvx");
    tree.MakeDir("outside/3.kvx");
    tree.Write("claims/inbox2/notes.txt", "a file, not a folder");
    std::filesystem::create_directory_symlink(claimsDir + "/Inbox/1.kvx", claimsDir + "/Inbox/inside");
    std::filesystem::create_directory_symlink(tree.Path("outside"), claimsDir + "/Inbox/out");
    std::filesystem::create_directory_symlink(claimsDir, claimsDir + "/Inbox/home");
    using State = upload::ClaimFolder::State;
    struct Case
    {
        std::string claimDir, claimSubdir;
        State state;
        std::string relativeOrProblem; // the folder found, or a part of the problem
    };
    const Case cases[] = {
        { "inbox", "1.KVX", State::Found, "Inbox/1.kvx" },
        { "INBOX2\\sub", "2.kvx", State::Found, "inbox2/Sub/2.kvx" },
        { "inbox2/sub", "2.kvx", State::Found, "inbox2/Sub/2.kvx" },
        { "inbox", "inside", State::Found, "Inbox/inside" }, // a link that stays below
        { "inbox", "9.kvx", State::Missing, "" },
        { "inbox2", "notes.txt", State::Missing, "" },
        { "", "1.kvx", State::Refused, "Claimdir is empty" },
        { "inbox", "", State::Refused, "ClaimSubdir is empty" },
        { "  ", "1.kvx", State::Refused, "Claimdir is empty" },
        { "inbox", "\\1.kvx", State::Refused, "ClaimSubdir starts with a separator" },
        { "inbox\\", "1.kvx", State::Refused, "Claimdir has an empty part" },
        { ".", "inbox", State::Refused, "Claimdir has the part \".\"" },
        { "inbox", "..", State::Refused, "ClaimSubdir has the part \"..\"" },
        { "inbox/../..", "outside", State::Refused, "Claimdir has the part \"..\"" },
        { tree.Path("outside"), "3.kvx", State::Refused, "Claimdir is an absolute path" },
        { "C:\\claims", "3.kvx", State::Refused, "Claimdir is an absolute path" },
        { "inbox", "out", State::Refused, "leads to " + tree.Path("outside") + ", outside the claims directory" },
        { "inbox/home", "inbox", State::Found, "Inbox/home/Inbox" }, // round through the claims directory
        { "inbox", "home", State::Refused, "it leads to the claims directory itself" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.claimDir + " | " + c.claimSubdir);
        const upload::ClaimFolder found = upload::FindClaimFolder(claimsDir, c.claimDir, c.claimSubdir);
        EXPECT_EQ(found.state, c.state) << found.problem;
        if (c.state == State::Found) {
            EXPECT_EQ(found.relative, c.relativeOrProblem);
            EXPECT_EQ(found.path, claimsDir + "/" + c.relativeOrProblem);
        } else if (c.state == State::Refused) {
            EXPECT_NE(found.problem.find(c.relativeOrProblem), std::string::npos) << found.problem;
            EXPECT_NE(found.problem.find("is not a folder below the claims directory " + claimsDir), std::string::npos)
                << found.problem;
        }
    }
}

// The stamping itself touches no record but the claim's own, whatever leads it to a folder.
class StampingTest : public ::testing::Test, protected test::Workstation
{
protected:
    StampingTest()
        : session(env)
        , run(env, session, notice)
    {
        folder = tree.MakeDir("claims/inbox/1.kvx");
        for (const std::string& where : { ClaimsPath(""), folder }) {
            Table::Create(where, "Claims.DB", Fields(), 1);
        }
        AddRecord(ClaimsPath(""), 1);
        AddRecord(ClaimsPath(""), 2);
        claims = std::make_unique<Table>(ClaimsPath(""), "Claims.DB");
        claims->Open();
        claims->First();
    }

    static std::vector<FieldDef> Fields()
    {
        std::vector<FieldDef> fields = { { "ClaimID", FieldType::Long },
                                         { "Claimdir", FieldType::Alpha, 40 },
                                         { "ClaimSubdir", FieldType::Alpha, 40 },
                                         { "ClaimNumber", FieldType::Alpha, 20 } };
        for (const char* name :
             { "SrvClaimID", "CompanyUID", "RegionUID", "OfficeUID", "DepartmentUID", "EmployeeUID" }) {
            fields.push_back({ name, FieldType::Long });
        }
        return fields;
    }

    static void AddRecord(const std::string& where, int claimId)
    {
        Table table(where, "Claims.DB");
        table.Open();
        table.Append();
        table.FieldByName("ClaimID").SetInteger(claimId);
        table.FieldByName("Claimdir").SetText("inbox");
        table.FieldByName("ClaimSubdir").SetText(std::to_string(claimId) + ".kvx");
        table.FieldByName("ClaimNumber").SetText("CLM-" + std::to_string(claimId));
        table.FieldByName("SrvClaimID").SetInteger(0);
        table.Post();
    }

    std::string Bytes(const std::string& where) const { return ReadFile(where + "/Claims.DB"); }

    warehouse::WarehouseSession session;
    upload::UploadRunContext run;
    std::string folder;
    std::unique_ptr<Table> claims;
};

TEST_F(StampingTest, AFolderTableThatIsNotTheClaimsOwnIsNotStamped)
{
    struct Case
    {
        std::string what;
        std::function<void()> prepare;
        std::string reason;
    };
    const Case cases[] = {
        { "the record of another claim", [&] { AddRecord(folder, 2); }, "the one of ClaimID 2, not 1" },
        { "two records",
          [&] {
              AddRecord(folder, 1);
              AddRecord(folder, 2);
          },
          "it holds 2 records" },
        { "the claims table itself, through a link",
          [&] {
              for (const char* name : { "Claims.DB", "Claims.PX" }) {
                  std::filesystem::remove(folder + "/" + name);
                  std::filesystem::create_symlink(ClaimsPath(name), folder + "/" + name);
              }
          },
          "it is the claims table itself" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Table::Create(folder, "Claims.DB", Fields(), 1);
        c.prepare();
        claims->Close();
        const std::string claimsBefore = Bytes(ClaimsPath(""));
        const std::string folderBefore = Bytes(folder);
        claims->Open();
        claims->First();
        try {
            upload::UploadClaim(run, *claims, true, 812);
            ADD_FAILURE() << "the claim was stamped";
        } catch (const TableError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("CLM-1"), std::string::npos) << e.what();
        }
        claims->Close();
        EXPECT_EQ(Bytes(ClaimsPath("")), claimsBefore);
        EXPECT_EQ(Bytes(folder), folderBefore);
        for (const char* name : { "Claims.DB", "Claims.PX" }) {
            std::filesystem::remove(folder + "/" + name);
        }
        claims->Open();
        claims->First();
    }
}
