// The file and table operations of a claim restore, on real folders and real Paradox tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ClaimsFixture.h"
#include "common/Workstation.h"
#include "restore/RestoreFileOps.h"
#include "restore/RestoreFileOpsDetail.h"
#include "support/Errors.h"
#include "support/paradox/Table.h"

using namespace wh;
using paradox::OpenMode;
using paradox::Table;
using test::ReadFile;
namespace fs = std::filesystem;

namespace {

// Another user of the machine, for the failures that only someone without the owner's rights sees.
constexpr uid_t kOtherUid = 61235;
constexpr gid_t kOtherGid = 61235;

// Runs `job` in a child process as `uid`/`gid` (a superuser can become anyone; anyone can stay who
// they are). 0 when the job returned true, 1 when false, 2 when the ids could not be taken, 3 when
// the child cannot reach `folder`.
int RunAs(uid_t uid, gid_t gid, const std::string& folder, const std::function<bool()>& job)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (uid != ::geteuid() || gid != ::getegid()) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
                ::_exit(2);
            }
        }
        if (::access(folder.c_str(), X_OK) != 0) {
            ::_exit(3);
        }
        ::_exit(job() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// The entries of a folder, sorted, folders marked with a trailing "/".
std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string() + (entry.is_directory() ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    return names;
}

class RestoreFileOpsTest : public ::testing::Test
{
protected:
    std::string Claims(const std::string& relative = "") const { return ws.ClaimsPath(relative); }

    // AUTOINCS.DB with one record holding `values` (CounterID, ClaimID, ContactID, InvoiceID).
    void MakeCounterTable(const std::vector<std::int64_t>& values, const std::string& name = "AUTOINCS.DB")
    {
        Table::Create(Claims(), name, fixtures::AutoIncsFields());
        if (values.empty()) {
            return;
        }
        Table table(Claims(), name);
        table.Open(OpenMode::Exclusive);
        table.Append();
        for (std::size_t i = 0; i < values.size(); ++i) {
            table.FieldAt(static_cast<int>(i)).SetInteger(values[i]);
        }
        table.Post();
        table.Close();
    }

    std::vector<std::int64_t> CounterRecord()
    {
        Table table(Claims(), "AUTOINCS.DB");
        table.Open();
        std::vector<std::int64_t> values;
        for (; !table.Eof(); table.Next()) {
            for (int i = 0; i < table.FieldCount(); ++i) {
                values.push_back(table.FieldAt(i).AsInteger());
            }
        }
        return values;
    }

    std::vector<std::string> DeldirRows()
    {
        Table table(Claims(), "deldir.db");
        table.Open();
        std::vector<std::string> rows;
        for (; !table.Eof(); table.Next()) {
            rows.push_back(table.FieldByName("Directory").AsText());
        }
        return rows;
    }

    test::Workstation ws;
};

// --- masks -----------------------------------------------------------------------------------

TEST(RestoreMask, MatchesAsTheWindowsFileSearchDoes)
{
    struct Case
    {
        const char* name;
        const char* mask;
        bool matches;
    };
    const Case cases[] = {
        { "image.db", "image.*", true },
        { "IMAGE.MB", "image.*", true },
        { "Image.Px", "IMAGE.*", true },
        { "image", "image.*", true }, // a trailing ".*" also takes a name without extension
        { "images.db", "image.*", false },
        { "image.db.bak", "image.*", true },
        { "xarcs.db", "arcs.*", false },
        { "notes", "*.*", true },
        { ".hidden", "*.*", true },
        { "a.txt", "?.TXT", true },
        { "ab.txt", "?.txt", false },
        { "report[1].doc", "*.*", true },
        { "report[1].doc", "report[1].doc", false }, // brackets are a class, as fnmatch reads them
    };
    for (const Case& c : cases) {
        EXPECT_EQ(restore::detail::MatchesMask(c.name, c.mask), c.matches) << c.name << " / " << c.mask;
    }
}

// --- DeleteFolderFiles -----------------------------------------------------------------------

TEST_F(RestoreFileOpsTest, DeleteFolderFilesTakesEveryMatchingFileOfAnyKindAndLeavesFolders)
{
    const std::string folder = ws.tree.MakeDir("private");
    for (const char* name : { "ARCS.DB", "arcs.px", "Arcs.mb", "arcs", ".arcs.db", "arcsx.db", "other.txt" }) {
        ws.tree.Write(std::string("private/") + name, name);
    }
    ::chmod((folder + "/arcs.px").c_str(), 0444); // read-only in a writable folder goes as well
    ws.tree.Write("private/arcs.dir/inner.txt", "stays");

    EXPECT_TRUE(restore::DeleteFolderFiles(folder, "arcs.*"));
    EXPECT_EQ(Entries(folder), (std::vector<std::string> { ".arcs.db", "arcs.dir/", "arcsx.db", "other.txt" }));
    EXPECT_EQ(ReadFile(folder + "/arcs.dir/inner.txt"), "stays");

    EXPECT_TRUE(restore::DeleteFolderFiles(folder, "*.*"));
    EXPECT_EQ(Entries(folder), (std::vector<std::string> { "arcs.dir/" })) << "the folder itself stays";
}

TEST_F(RestoreFileOpsTest, DeleteFolderFilesWithNothingToDeleteSucceeds)
{
    const std::string folder = ws.tree.MakeDir("claim");
    ws.tree.Write("claim/notes.txt", "kept");
    EXPECT_TRUE(restore::DeleteFolderFiles(folder, "arcs.*"));
    EXPECT_TRUE(restore::DeleteFolderFiles(ws.tree.MakeDir("empty"), "*.*"));
    EXPECT_TRUE(restore::DeleteFolderFiles(ws.tree.Path("missing"), "*.*"));
    EXPECT_EQ(Entries(folder), (std::vector<std::string> { "notes.txt" }));
}

TEST(RestoreDeleteFolderFiles, StopsAtTheFirstFileThatCannotBeDeleted)
{
    // A file is undeletable on Linux when its folder denies the deleter: in a sticky folder only
    // the owner of a file may delete it, so b.txt (the superuser's) stays while a.txt and c.txt
    // (the deleter's) could go. That needs the superuser to set up.
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to hand files to another user";
    }
    test::TempTree tree;
    fs::permissions(tree.Root(), fs::perms(0755));
    const std::string folder = tree.MakeDir("claim");
    ::chmod(folder.c_str(), 01777);
    for (const char* name : { "a.txt", "b.txt", "c.txt" }) {
        const std::string path = tree.Write(std::string("claim/") + name, name);
        if (std::string(name) != "b.txt") {
            ASSERT_EQ(::chown(path.c_str(), kOtherUid, kOtherGid), 0);
        }
    }
    ::chmod((folder + "/b.txt").c_str(), 0444);

    const int result = RunAs(kOtherUid, kOtherGid, folder, [&] { return restore::DeleteFolderFiles(folder, "*.*"); });
    if (result == 3) {
        GTEST_SKIP() << "the temporary folder lies below a folder that other users cannot enter";
    }
    EXPECT_EQ(result, 1) << "false, since b.txt stays";
    EXPECT_EQ(Entries(folder), (std::vector<std::string> { "b.txt", "c.txt" })) << "c.txt is not attempted";
}

TEST(RestoreDeleteFolderFiles, AFolderWhoseFilesCannotBeListedIsAFailure)
{
    test::TempTree tree;
    fs::permissions(tree.Root(), fs::perms(0755));
    const std::string folder = tree.MakeDir("claim");
    tree.Write("claim/a.txt", "a");
    ::chmod(folder.c_str(), 0333); // enter and write, but not read
    // The superuser reads any folder, so the deleter is another user then.
    const bool root = ::geteuid() == 0;
    const int result = RunAs(root ? kOtherUid : ::geteuid(), root ? kOtherGid : ::getegid(), folder,
                             [&] { return restore::DeleteFolderFiles(folder, "*.*"); });
    ::chmod(folder.c_str(), 0755);
    if (result == 3) {
        GTEST_SKIP() << "the temporary folder lies below a folder that other users cannot enter";
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Entries(folder), (std::vector<std::string> { "a.txt" }));
}

// --- MakeTempClaimFolder ---------------------------------------------------------------------

TEST_F(RestoreFileOpsTest, MakeTempClaimFolderMakesNewNumberedFolders)
{
    const std::string parent = ws.tree.MakeDir("claims/ClaimDir");
    std::set<std::string> names;
    for (int i = 0; i < 20; ++i) {
        const std::string name = restore::MakeTempClaimFolder(parent, ".kvx");
        // A number 0-65534 without leading zeros, then ".kvx".
        const std::string number = name.size() > 4 ? name.substr(0, name.size() - 4) : std::string();
        ASSERT_TRUE(name.size() > 4 && name.substr(name.size() - 4) == ".kvx" && !number.empty() && number.size() <= 5
                    && std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })
                    && (number == "0" || number[0] != '0') && std::stol(number) <= 65534)
            << name;
        EXPECT_LE(std::stoi(name), 65534);
        EXPECT_TRUE(fs::is_directory(parent + "/" + name)) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 20u) << "every call made a folder of its own";
    EXPECT_EQ(Entries(parent).size(), 20u);
}

TEST_F(RestoreFileOpsTest, MakeTempClaimFolderPassesOverTakenNames)
{
    const std::string parent = ws.tree.MakeDir("claims/ClaimDir");
    ws.tree.MakeDir("claims/ClaimDir/5.kvx");
    ws.tree.Write("claims/ClaimDir/7.kvx", "a file, not a folder, but the name is taken all the same");
    std::vector<int> script { 5, 7, 5, 0, 9 };
    std::size_t drawn = 0;
    const std::string name = restore::detail::MakeTempClaimFolder(parent, ".kvx", [&] { return script.at(drawn++); });
    EXPECT_EQ(name, "0.kvx");
    EXPECT_EQ(drawn, 4u);
    EXPECT_EQ(Entries(parent), (std::vector<std::string> { "0.kvx/", "5.kvx/", "7.kvx" }));
    EXPECT_EQ(ReadFile(parent + "/7.kvx").substr(0, 6), "a file");
}

TEST_F(RestoreFileOpsTest, MakeTempClaimFolderGivesUpAfterEveryDrawHitAnExistingFolder)
{
    const std::string parent = ws.tree.MakeDir("claims/ClaimDir");
    for (const char* name : { "0.kvx", "1.kvx", "65534.kvx" }) {
        ws.tree.MakeDir(std::string("claims/ClaimDir/") + name);
    }
    const int taken[] = { 0, 1, 65534 };
    int drawn = 0;
    const std::string name = restore::detail::MakeTempClaimFolder(parent, ".kvx", [&] { return taken[drawn++ % 3]; });
    EXPECT_EQ(name, "");
    EXPECT_EQ(drawn, restore::detail::kTempNameAttempts);
    EXPECT_EQ(Entries(parent), (std::vector<std::string> { "0.kvx/", "1.kvx/", "65534.kvx/" })) << "nothing made";
}

TEST_F(RestoreFileOpsTest, MakeTempClaimFolderRaisesWhenTheFolderCannotBeMade)
{
    const std::string parent = ws.tree.Path("claims/NoSuchClaimDir");
    try {
        restore::MakeTempClaimFolder(parent, ".kvx");
        FAIL() << "no error raised";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find(parent + "/"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(SystemErrorText(ENOENT)), std::string::npos) << error.what();
    }
    EXPECT_FALSE(fs::exists(parent));
}

// --- NextAutoIncValue ------------------------------------------------------------------------

TEST_F(RestoreFileOpsTest, NextAutoIncValueGivesOutTheNextNumberOfItsFieldAndKeepsIt)
{
    MakeCounterTable({ 1, 417, 100, 1000 });
    EXPECT_EQ(restore::NextAutoIncValue(ws.env, 1), 418);
    EXPECT_EQ(CounterRecord(), (std::vector<std::int64_t> { 1, 418, 100, 1000 }));
    EXPECT_EQ(restore::NextAutoIncValue(ws.env, 1), 419);
    EXPECT_EQ(restore::NextAutoIncValue(ws.env, 3), 1001);
    EXPECT_EQ(restore::NextAutoIncValue(ws.env, 0), 2);
    EXPECT_EQ(CounterRecord(), (std::vector<std::int64_t> { 2, 419, 100, 1001 }));
}

TEST_F(RestoreFileOpsTest, NextAutoIncValueFindsTheTableWithoutRegardToCase)
{
    MakeCounterTable({ 1, 7, 0, 0 }, "autoincs.db");
    EXPECT_EQ(restore::NextAutoIncValue(ws.env, 1), 8);
}

TEST_F(RestoreFileOpsTest, NextAutoIncValueRaisesTableErrorsAndGivesOutNothing)
{
    struct Case
    {
        const char* what;
        std::function<void()> arrange;
        int fieldIndex;
        const char* messagePart;
        std::vector<std::int64_t> after; // the counter table's values afterwards
    };
    std::unique_ptr<Table> holder;
    const Case cases[] = {
        { "an empty counter table", [&] { MakeCounterTable({}); }, 1, "has no record", {} },
        { "no such field",
          [&] {
              MakeCounterTable({ 1, 5, 0, 0 });
          },
          4,
          "no field number 4",
          { 1, 5, 0, 0 } },
        { "the counter is full",
          [&] {
              MakeCounterTable({ 1, INT32_MAX, 0, 0 });
          },
          1,
          "largest number",
          { 1, INT32_MAX, 0, 0 } },
        { "the product holds the table exclusively",
          [&] {
              MakeCounterTable({ 1, 5, 0, 0 });
              holder = std::make_unique<Table>(Claims(), "AUTOINCS.DB");
              holder->Open(OpenMode::Exclusive);
          },
          1,
          "opened exclusively",
          { 1, 5, 0, 0 } },
    };
    auto expectError = [&](const std::string& what, int fieldIndex, const std::string& messagePart) {
        try {
            restore::NextAutoIncValue(ws.env, fieldIndex);
            ADD_FAILURE() << what << ": no error raised";
        } catch (const TableError& error) {
            EXPECT_NE(std::string(error.what()).find(messagePart), std::string::npos) << what << ": " << error.what();
        }
    };
    expectError("no counter table", 1, "does not exist");
    for (const Case& c : cases) {
        c.arrange();
        expectError(c.what, c.fieldIndex, c.messagePart);
        holder.reset();
        EXPECT_EQ(CounterRecord(), c.after) << c.what;
    }
}

TEST_F(RestoreFileOpsTest, NextAutoIncValueNeverGivesTheSameNumberToTwoProcesses)
{
    constexpr int kStart = 5000;
    constexpr int kProcesses = 3;
    constexpr int kPerProcess = 150;
    MakeCounterTable({ 1, kStart, 0, 0 });
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char c;
            (void)::read(gate[0], &c, 1); // all start together once the parent closes the gate
            std::string taken;
            int status = 0;
            try {
                for (int i = 0; i < kPerProcess; ++i) {
                    taken += std::to_string(restore::NextAutoIncValue(ws.env, 1)) + "\n";
                }
            } catch (const std::exception& error) {
                taken += std::string("error: ") + error.what() + "\n";
                status = 1;
            }
            ws.tree.Write("taken-" + std::to_string(p) + ".txt", taken);
            ::_exit(status);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a process failed to take its numbers";
    }
    std::multiset<int> numbers;
    for (int p = 0; p < kProcesses; ++p) {
        std::istringstream lines(ReadFile(ws.tree.Path("taken-" + std::to_string(p) + ".txt")));
        std::string line;
        int last = 0;
        while (std::getline(lines, line)) {
            if (line.starts_with("error: ")) {
                ADD_FAILURE() << "process " << p << ": " << line;
                continue;
            }
            const int n = std::stoi(line);
            EXPECT_GT(n, last) << "each process sees its numbers rise";
            last = n;
            numbers.insert(n);
        }
    }
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kProcesses * kPerProcess));
    const std::set<int> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "a number was given out twice";
    EXPECT_EQ(*distinct.begin(), kStart + 1);
    EXPECT_EQ(*distinct.rbegin(), kStart + kProcesses * kPerProcess);
    EXPECT_EQ(CounterRecord()[1], kStart + kProcesses * kPerProcess);
}

// --- RecordUndeletedFolder -------------------------------------------------------------------

TEST_F(RestoreFileOpsTest, RecordUndeletedFolderMakesTheTableOnceAndAddsARecordPerCall)
{
    const std::string first = Claims("ClaimDir/40213.kvx");
    const std::string second = Claims("ClaimDir/12.kvx");
    restore::RecordUndeletedFolder(ws.env, first);
    {
        Table table(Claims(), "deldir.db");
        table.Open();
        ASSERT_EQ(table.FieldCount(), 1);
        EXPECT_EQ(table.FieldAt(0).Name(), "Directory");
        EXPECT_EQ(table.FieldAt(0).Type(), paradox::FieldType::Alpha);
        EXPECT_EQ(table.FieldAt(0).Size(), 255);
        EXPECT_FALSE(table.IsKeyed());
    }
    EXPECT_EQ(DeldirRows(), (std::vector<std::string> { first }));
    restore::RecordUndeletedFolder(ws.env, second);
    EXPECT_EQ(DeldirRows(), (std::vector<std::string> { first, second }));
    // Only the table itself is left in the claims directory, no scratch folder.
    for (const std::string& entry : Entries(Claims())) {
        EXPECT_TRUE(entry == "deldir.db" || entry == "Warehouse/") << entry;
    }
}

TEST_F(RestoreFileOpsTest, RecordUndeletedFolderAddsToTheProductsTableWhateverItsCase)
{
    Table::Create(Claims(), "DELDIR.DB", fixtures::DeldirFields());
    {
        Table table(Claims(), "DELDIR.DB");
        table.Open();
        table.Append();
        table.FieldAt(0).SetText("C:\\Claims\\old.kvx");
        table.Post();
    }
    restore::RecordUndeletedFolder(ws.env, Claims("ClaimDir/7.kvx"));
    EXPECT_FALSE(fs::exists(Claims("deldir.db"))) << "no second table beside DELDIR.DB";
    EXPECT_EQ(DeldirRows(), (std::vector<std::string> { "C:\\Claims\\old.kvx", Claims("ClaimDir/7.kvx") }));
}

TEST_F(RestoreFileOpsTest, RecordUndeletedFolderRefusesAPathTheFieldWouldCut)
{
    const std::string base = Claims("ClaimDir/");
    const std::string fits = base + std::string(255 - base.size(), 'f');
    const std::string tooLong = base + std::string(256 - base.size(), 'g');
    restore::RecordUndeletedFolder(ws.env, fits);
    try {
        restore::RecordUndeletedFolder(ws.env, tooLong);
        FAIL() << "no error raised";
    } catch (const TableError& error) {
        EXPECT_NE(std::string(error.what()).find(tooLong), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("remove it by hand"), std::string::npos);
    }
    EXPECT_EQ(DeldirRows(), (std::vector<std::string> { fits })) << "the full path, and no cut one";
}

// --- CopyEmptyClaimComponent and CopyClaimComponent ------------------------------------------

class ComponentCopyTest : public RestoreFileOpsTest
{
protected:
    ComponentCopyTest()
    {
        for (const char* name : { "image.db", "image.px", "image.mb" }) {
            ws.tree.Write(std::string("claims/Empty/") + name, std::string("blank ") + name);
        }
        ws.tree.Write("claims/Empty/notes.db", "blank notes.db");
    }
};

TEST_F(ComponentCopyTest, CopyEmptyClaimComponentFillsOnlyWhatTheClaimLacks)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> present; // files already in the claim folder
        std::vector<std::string> after; // the folder afterwards
    };
    const Case cases[] = {
        { "an empty claim folder", {}, { "image.db", "image.mb", "image.px" } },
        { "the main table is there", { "image.db" }, { "image.db" } },
        { "the main table is there in another case", { "IMAGE.DB" }, { "IMAGE.DB" } },
        { "only the memo file is there", { "image.mb" }, { "image.db", "image.mb", "image.px" } },
        { "the memo file in another case", { "IMAGE.MB" }, { "IMAGE.MB", "image.db", "image.px" } },
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string relative = "claims/ClaimDir/" + std::to_string(++n) + ".kvx";
        const std::string folder = ws.tree.MakeDir(relative);
        for (const std::string& name : c.present) {
            ws.tree.Write(relative + "/" + name, "own " + name);
        }
        EXPECT_TRUE(restore::CopyEmptyClaimComponent(ws.env, folder, "image.*")) << c.what;
        EXPECT_EQ(Entries(folder), c.after) << c.what;
        for (const std::string& name : c.after) {
            const bool own = std::find(c.present.begin(), c.present.end(), name) != c.present.end();
            EXPECT_EQ(ReadFile(folder + "/" + name), (own ? "own " : "blank ") + name) << c.what;
        }
    }
    EXPECT_TRUE(ws.notice.messages.empty());
}

TEST_F(ComponentCopyTest, CopyEmptyClaimComponentWithoutTemplatesCopiesNothing)
{
    const std::string folder = ws.tree.MakeDir("claims/ClaimDir/1.kvx");
    EXPECT_TRUE(restore::CopyEmptyClaimComponent(ws.env, folder, "photo.*"));
    fs::remove_all(Claims("Empty"));
    EXPECT_TRUE(restore::CopyEmptyClaimComponent(ws.env, folder, "image.*"));
    EXPECT_TRUE(Entries(folder).empty());
    EXPECT_TRUE(ws.notice.messages.empty());
}

TEST_F(ComponentCopyTest, CopiesLeaveOutTheClaimFoldersOwnFilesAndFolders)
{
    for (const char* name : { "LockOut.txt", "ERRORLOG.TXT", "errorlog.txt.bak" }) {
        ws.tree.Write(std::string("claims/Empty/") + name, "x");
        ws.tree.Write(std::string("claims/ClaimDir/old.kvx/") + name, "x");
    }
    ws.tree.Write("claims/Empty/sub/inner.db", "x");
    ws.tree.Write("claims/ClaimDir/old.kvx/sub/inner.db", "x");
    ws.tree.Write("claims/ClaimDir/old.kvx/image.db", "old image.db");

    const std::string fromEmpty = ws.tree.MakeDir("claims/ClaimDir/1.kvx");
    EXPECT_TRUE(restore::CopyEmptyClaimComponent(ws.env, fromEmpty, "*.*"));
    EXPECT_EQ(Entries(fromEmpty),
              (std::vector<std::string> { "errorlog.txt.bak", "image.db", "image.mb", "image.px", "notes.db" }));

    const std::string fromClaim = ws.tree.MakeDir("claims/ClaimDir/2.kvx");
    EXPECT_TRUE(restore::CopyClaimComponent(ws.env, Claims("ClaimDir/old.kvx"), fromClaim, "*.*"));
    EXPECT_EQ(Entries(fromClaim), (std::vector<std::string> { "errorlog.txt.bak", "image.db" }));
    EXPECT_TRUE(ws.notice.messages.empty());
}

TEST_F(ComponentCopyTest, CopyEmptyClaimComponentReportsAFailedCopyAndKeepsWhatWasCopied)
{
    const std::string folder = ws.tree.MakeDir("claims/ClaimDir/1.kvx");
    // A folder where the copy of image.px writes its data makes that one copy fail.
    ws.tree.MakeDir("claims/ClaimDir/1.kvx/image.px.part");
    EXPECT_FALSE(restore::CopyEmptyClaimComponent(ws.env, folder, "image.*"));
    EXPECT_EQ(Entries(folder), (std::vector<std::string> { "image.db", "image.mb", "image.px.part/" }));
    ASSERT_EQ(ws.notice.messages.size(), 1u);
    EXPECT_EQ(ws.notice.messages[0].kind, MessageKind::Error);
    EXPECT_EQ(ws.notice.messages[0].text,
              SystemErrorText(EISDIR) + " : Error Copying File : " + Claims("Empty") + "/image.px"
                  + "\r\nCopyEmptyClaimComponent Failed,\r\nCall Korvan Support.");
}

TEST_F(ComponentCopyTest, CopyClaimComponentReplacesTheTargetsFilesWhateverTheirCase)
{
    for (const char* name : { "image.db", "image.px", "image.mb" }) {
        ws.tree.Write(std::string("claims/ClaimDir/old.kvx/") + name, std::string("old claim's ") + name);
    }
    ws.tree.Write("claims/ClaimDir/old.kvx/notes.db", "not part of the component");
    const std::string target = ws.tree.MakeDir("claims/ClaimDir/new.kvx");
    ws.tree.Write("claims/ClaimDir/new.kvx/image.db", "new claim's blank image.db");
    ws.tree.Write("claims/ClaimDir/new.kvx/IMAGE.PX", "new claim's blank IMAGE.PX");

    EXPECT_TRUE(restore::CopyClaimComponent(ws.env, Claims("ClaimDir/old.kvx"), target, "image.*"));
    EXPECT_EQ(Entries(target), (std::vector<std::string> { "IMAGE.PX", "image.db", "image.mb" }));
    EXPECT_EQ(ReadFile(target + "/image.db"), "old claim's image.db");
    EXPECT_EQ(ReadFile(target + "/IMAGE.PX"), "old claim's image.px");
    EXPECT_EQ(ReadFile(target + "/image.mb"), "old claim's image.mb");
    EXPECT_TRUE(ws.notice.messages.empty());
}

TEST_F(ComponentCopyTest, CopyClaimComponentReportsAFailedCopyAndKeepsWhatWasCopied)
{
    for (const char* name : { "image.db", "image.mb", "image.px" }) {
        ws.tree.Write(std::string("claims/ClaimDir/old.kvx/") + name, name);
    }
    const std::string target = ws.tree.MakeDir("claims/ClaimDir/new.kvx");
    ws.tree.MakeDir("claims/ClaimDir/new.kvx/image.mb.part");
    EXPECT_FALSE(restore::CopyClaimComponent(ws.env, Claims("ClaimDir/old.kvx"), target, "image.*"));
    EXPECT_EQ(Entries(target), (std::vector<std::string> { "image.db", "image.mb.part/" })) << "stops at image.mb";
    ASSERT_EQ(ws.notice.messages.size(), 1u);
    EXPECT_EQ(ws.notice.messages[0].kind, MessageKind::Error);
    EXPECT_EQ(ws.notice.messages[0].text,
              SystemErrorText(EISDIR) + " : Error Copying File : " + Claims("ClaimDir/old.kvx")
                  + "/image.mb\r\nCoy Claim Component Failed");

    // A source folder that is gone has nothing to copy.
    ws.notice.messages.clear();
    EXPECT_TRUE(restore::CopyClaimComponent(ws.env, Claims("ClaimDir/gone.kvx"), target, "image.*"));
    EXPECT_TRUE(ws.notice.messages.empty());
}

} // namespace
