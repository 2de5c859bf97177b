#include <gtest/gtest.h>

#include "auxfiles/Bld_Claim_File.h"
#include "common/TempTree.h"
#include "support/json/Json.h"
#include "support/zip/ZipTestSupport.h"

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace wh;
using test::InspectArchive;
using test::ListTree;
using test::MakeArchive;
using test::MemberNames;

namespace {

json::Value Member(const std::string& name, const std::string& data, bool damaged = false)
{
    json::Value member = { { "name", name }, { "data", data } };
    if (damaged) {
        member["flip"] = true; // stored: the checksum no longer matches
    }
    return member;
}

} // namespace

TEST(LockOrLogFiles, AreKnownByTheirBareNameInAnyCase)
{
    struct Case
    {
        std::string name;
        bool lockOrLog;
    };
    const Case cases[] = {
        { "LockOut.txt", true },
        { "2024/C0001/XLOCKOUT.TXT", true },
        { "errorlog.txt", true },
        { "ERRORLOG.TXT.1", true },
        { "PARADOX.LCK", true },
        { "a\\b\\pdoxusrs.net", true },
        { "lockout.txt.lck", true },
        { "notes.txt", false },
        { "lck", false },
        { "lck.txt", false },
        { "net.lck/notes.txt", false },
        { "network.db", false },
        { "IMAGE.DB", false },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsLockOrLogFile(c.name), c.lockOrLog) << c.name;
    }
    EXPECT_EQ(BareFileName("2024/C0001\\photos/p1.jpg"), "p1.jpg");
}

TEST(FailureRecord, NamesTheOperationCodeMessageAndFile)
{
    EXPECT_EQ(auxfiles::FailureRecord("mtadds.DB", zip::Operation::Add, 1, "Cannot read /c/mtadds.DB: denied"),
              "Add: 1 : Cannot read /c/mtadds.DB: denied\r\nmtadds.DB");
    EXPECT_EQ(auxfiles::FailureRecord("x", zip::Operation::Extract, 4, "bad"), "Extract: 4 : bad\r\nx");
    EXPECT_EQ(auxfiles::FailureRecord("x", zip::Operation::Test, 2, "m"), "Test: 2 : m\r\nx");
}

TEST(TNewZip, LeavesOutLockFilesAndSkipsAFileThatFailsWithoutStopping)
{
    test::TempTree tree;
    for (const char* name : { "rpttmpgr.DB", "rpttmpgr.PX", "rpttmpl2.DB", "rpttmpl2.MB", "PDOXUSRS.NET", "PARADOX.LCK",
                              "ErrorLog.txt" }) {
        tree.Write(std::string("c/") + name, std::string("content of ") + name);
    }
    // A pipe cannot be packed; the writer notes it and goes on.
    ASSERT_EQ(::mkfifo(tree.Path("c/rpttmpgr.QUE").c_str(), 0644), 0);
    const std::string archive = tree.Path("templates.zip");
    {
        auxfiles::TNewZip writer(archive);
        EXPECT_FALSE(writer.Failed);
        writer.SetComment("Korvan Date WareHouse");
        EXPECT_EQ(writer.AddFiles(tree.Path("c"), "rpttmpgr.*", false), 2);
        EXPECT_EQ(writer.AddFiles(tree.Path("c"), "rpttmpl2.*", false), 2);
        EXPECT_EQ(writer.AddFiles(tree.Path("c"), "*.*", false), 0) << "filtered or already held";
        EXPECT_TRUE(writer.Failed);
        EXPECT_EQ(writer.FailureText.rfind("Add: ", 0), 0u) << writer.FailureText;
        writer.Close();
    }
    const json::Value inspected = InspectArchive(archive);
    EXPECT_EQ(MemberNames(inspected),
              (std::vector<std::string> { "rpttmpgr.DB", "rpttmpgr.PX", "rpttmpl2.DB", "rpttmpl2.MB" }));
    EXPECT_EQ(inspected["comment"], "Korvan Date WareHouse");

    // The handler alone: only additions are filtered.
    auxfiles::TNewZip writer(tree.Path("other.zip"));
    bool confirm = true;
    writer.ZipConfirmProcessFile("PARADOX.LCK", zip::Operation::Extract, confirm);
    EXPECT_TRUE(confirm);
    writer.ZipConfirmProcessFile("PARADOX.LCK", zip::Operation::Add, confirm);
    EXPECT_FALSE(confirm);
}

TEST(TNewZip, FirstFailureOfAPipeIsRecordedWithItsName)
{
    test::TempTree tree;
    ASSERT_EQ(::mkfifo(tree.Path("mtadds.QUE").c_str(), 0644), 0);
    auxfiles::TNewZip writer(tree.Path("phone.zip"));
    EXPECT_FALSE(writer.AddFile(tree.Path("mtadds.QUE"), "mtadds.QUE"));
    EXPECT_TRUE(writer.Failed);
    EXPECT_EQ(writer.FailureText.rfind("Add: 1 : ", 0), 0u) << writer.FailureText;
    EXPECT_NE(writer.FailureText.find(tree.Path("mtadds.QUE")), std::string::npos) << writer.FailureText;
    EXPECT_EQ(writer.FailureText.substr(writer.FailureText.size() - 12), "\r\nmtadds.QUE");
}

TEST(AuxTNewUnZip, SkipsLockFilesAndFailedMembersAndGoesOn)
{
    test::TempTree tree;
    const std::string archive = tree.Path("aux.zip");
    MakeArchive(archive,
                json::Value::array({ Member("PARADOX.LCK", "lock"), Member("mtadds.DB", "table"),
                                     Member("mtadds.PX", "index", true), Member("../escape.txt", "out"),
                                     Member("PDOXUSRS.NET", "net"), Member("mtadds.MB", "memo") }));
    tree.MakeDir("claims");
    auxfiles::TNewUnZip reader(archive);
    reader.SetBaseFolder(tree.Path("claims"));
    const zip::ExtractResult result = reader.Extract("*.*");
    EXPECT_FALSE(result.aborted);
    EXPECT_EQ(ListTree(tree.Path("claims")), (std::vector<std::string> { "mtadds.DB", "mtadds.MB" }));
    EXPECT_FALSE(std::filesystem::exists(tree.Path("escape.txt")));
    EXPECT_TRUE(reader.Failed);
    // The last failure is the one on record.
    EXPECT_EQ(reader.FailureText.rfind("Extract: 3 : ", 0), 0u) << reader.FailureText;
    EXPECT_EQ(reader.FailureText.substr(reader.FailureText.find("\r\n")), "\r\n../escape.txt");
}

TEST(RestoreTNewUnZip, PassesOverDamagedImageMemosAndStopsAtAnyOtherFailure)
{
    struct Case
    {
        std::string what;
        std::vector<json::Value> members;
        std::vector<std::string> extracted;
        bool failed;
    };
    const std::vector<Case> cases = {
        { "damaged IMAGE.MB",
          { Member("2024/C0001/autoincs.db", "a"), Member("2024/C0001/IMAGE.MB", "img", true),
            Member("2024/C0001/photos/p1.jpg", "p"), Member("2024/C0001/LOCKOUT.TXT", "l"),
            Member("2024/C0001/ERRORLOG.TXT", "e"), Member("2024/C0001/PARADOX.LCK", "k"),
            Member("2024/C0001/PDOXUSRS.NET", "n"), Member("2024/C0002/other.txt", "o"), Member("ARCS.DB", "r") },
          { "autoincs.db", "p1.jpg" },
          false },
        { "damaged scndoc.mb in a subfolder",
          { Member("2024/C0001/docs/scndoc.mb", "s", true), Member("2024/C0001/autoincs.db", "a") },
          { "autoincs.db" },
          false },
        { "damaged notes.txt",
          { Member("2024/C0001/autoincs.db", "a"), Member("2024/C0001/notes.txt", "n", true),
            Member("2024/C0001/z.txt", "z") },
          { "autoincs.db" },
          true },
        { "IMAGE.MB whose name leaves the folder",
          { Member("2024/C0001/../IMAGE.MB", "i"), Member("2024/C0001/autoincs.db", "a") },
          {},
          true },
    };
    for (const Case& c : cases) {
        test::TempTree tree;
        const std::string archive = tree.Path("57.kvz");
        MakeArchive(archive, json::Value(c.members));
        tree.MakeDir("new");
        restore::TNewUnZip reader(archive);
        EXPECT_FALSE(reader.ExtractFailed);
        reader.SetRecreateFolders(false);
        reader.SetBaseFolder(tree.Path("new"));
        reader.Extract("2024\\C0001\\*.*");
        EXPECT_EQ(ListTree(tree.Path("new")), c.extracted) << c.what;
        EXPECT_EQ(reader.ExtractFailed, c.failed) << c.what;
    }
}
