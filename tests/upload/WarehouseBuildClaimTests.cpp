#include <gtest/gtest.h>

#include "ClaimsFixture.h"
#include "common/ChildProcess.h"
#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "env/WarehouseFuncs.h"
#include "support/json/Json.h"
#include "support/text/Clock.h"
#include "support/zip/ZipTestSupport.h"
#include "upload/WarehouseBuildClaim.h"

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace wh;
using test::InspectArchive;
using test::MemberNames;
using test::RunCommand;

namespace {

// A claims directory from the fixture builder, the tool's local folders prepared, and a claim
// folder 2024/C0001 of our own making.
class BuildClaimArchiveTest : public ::testing::Test
{
protected:
    BuildClaimArchiveTest()
        : programEnv("WHUPLOAD_PROGRAM_DIR", tree.Path("root/Program"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , layout(fixtures::BuildClaimsDirectory({ .root = tree.Path("root"), .claims = 1, .filesPerClaim = 1 }))
        , env(notice, clock, [] {})
    {
        env.PrepareLocalFolders();
    }

    std::string ClaimFile(const std::string& relative, const std::string& bytes)
    {
        return tree.Write("root/Claims/2024/C0001/" + relative, bytes);
    }

    // Runs the builder with standard output captured; returns what it printed.
    std::string Build(const std::string& claimDir, const std::string& claimSubdir, std::int64_t serverId,
                      bool includeImageTables)
    {
        ::testing::internal::CaptureStdout();
        EXPECT_NO_THROW(failure = BuildClaimArchive(env, claimDir, claimSubdir, serverId, includeImageTables));
        const std::string printed = ::testing::internal::GetCapturedStdout();
        // What is printed is what the caller is told.
        EXPECT_EQ(printed.empty() ? std::string() : "Exception: " + failure + "\n", printed);
        return printed;
    }

    std::string Archive(std::int64_t serverId) const
    {
        return env.UploadDir() + "/" + std::to_string(serverId) + ".KVZ";
    }

    std::string failure; // what the last build returned
    test::TempTree tree;
    test::ScopedEnv programEnv;
    test::ScopedEnv dataEnv;
    fixtures::ClaimsDirLayout layout;
    test::RecordingUserNotice notice;
    text::SystemClock clock;
    env::WarehouseEnv env;
};

} // namespace

TEST_F(BuildClaimArchiveTest, PacksTheClaimFolderThenTheArcsTableWithoutLockAndLogFiles)
{
    const std::string notes = "Inspection notes.\r\n" + std::string(3000, 'n');
    const std::string photo = fixtures::DocumentBytes(20000, 5);
    ClaimFile("Claims.DB", fixtures::DocumentBytes(2048, 1));
    ClaimFile("notes.txt", notes);
    for (const char* left : { "LockOut.txt", "PDOXUSRS.NET", "PARADOX.LCK", "ERRORLOG.TXT" }) {
        ClaimFile(left, "lock or log");
    }
    ClaimFile("photos/p1.jpg", photo);

    EXPECT_EQ(Build("2024", "C0001", 57, true), "");
    ASSERT_EQ(ClaimArchivePath(env, 57), Archive(57));
    ASSERT_TRUE(std::filesystem::exists(Archive(57)));

    // Python's zipfile: names, order, deflate at the fast level, no comments, no ZIP64.
    const json::Value inspected = InspectArchive(Archive(57));
    const std::vector<std::string> expected
        = { "2024/C0001/Claims.DB", "2024/C0001/notes.txt", "2024/C0001/photos/p1.jpg", "ARCS.DB", "ARCS.MB" };
    EXPECT_EQ(MemberNames(inspected), expected);
    EXPECT_TRUE(inspected["bad"].is_null());
    EXPECT_FALSE(inspected["zip64"].get<bool>());
    EXPECT_EQ(inspected["comment"], "");
    for (const auto& member : inspected["members"]) {
        const std::string name = member["name"];
        EXPECT_EQ(member["method"], 8) << name << " is deflated";
        EXPECT_EQ(member["flags"].get<int>() & 0x07, 0x04) << name << ": fast deflate, not encrypted";
        EXPECT_EQ(member["comment"], "") << name;
        EXPECT_EQ(member["extra"], "") << name;
    }

    // Info-ZIP agrees on the level and gives the bytes back.
    std::string listing;
    ASSERT_EQ(RunCommand({ "unzip", "-Z", "-v", Archive(57) }, &listing), 0);
    const auto count = [&listing](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = listing.find(text); at != std::string::npos; at = listing.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("compression sub-type (deflation):               fast\n"), expected.size()) << listing;
    EXPECT_EQ(count("There is no file comment.\n"), expected.size()) << listing;
    EXPECT_EQ(count("There is no zipfile comment.\n"), 1u) << listing;
    std::string unpacked;
    ASSERT_EQ(RunCommand({ "unzip", "-p", Archive(57), "2024/C0001/notes.txt" }, &unpacked), 0);
    EXPECT_EQ(unpacked, notes);
    ASSERT_EQ(RunCommand({ "unzip", "-p", Archive(57), "2024/C0001/photos/p1.jpg" }, &unpacked), 0);
    EXPECT_EQ(unpacked, photo);
    ASSERT_EQ(RunCommand({ "unzip", "-p", Archive(57), "ARCS.DB" }, &unpacked), 0);
    EXPECT_EQ(unpacked, test::ReadFile(env.TempArcsDir() + "/ARCS.DB"));
}

TEST_F(BuildClaimArchiveTest, TakesEveryFileAtAnyDepthUnderTheFoldersSpellingOnDisk)
{
    ClaimFile(".hidden", "hidden");
    ClaimFile("a/b/c/deep.txt", "deep");
    chmod(ClaimFile("readonly.txt", "read only").c_str(), 0444);
    ClaimFile("a/XLOCKOUT.TXT", "left out wherever it lies");

    // The record spells the folder in another case than the disk does.
    EXPECT_EQ(Build("2024", "c0001", 9, true), "");
    const std::vector<std::string> expected
        = { "2024/C0001/.hidden", "2024/C0001/readonly.txt", "2024/C0001/a/b/c/deep.txt", "ARCS.DB", "ARCS.MB" };
    EXPECT_EQ(MemberNames(InspectArchive(Archive(9))), expected);
}

TEST_F(BuildClaimArchiveTest, ImageTablesGoInOnlyWhenAsked)
{
    for (const char* name : { "IMAGE.DB", "IMAGE.MB", "IMAGE.PX", "image.db", "notes.txt", "images.txt" }) {
        ClaimFile(name, name);
    }
    Build("2024", "C0001", 57, false);
    EXPECT_EQ(MemberNames(InspectArchive(Archive(57))),
              (std::vector<std::string> { "2024/C0001/images.txt", "2024/C0001/notes.txt", "ARCS.DB", "ARCS.MB" }));

    Build("2024", "C0001", 57, true);
    EXPECT_EQ(MemberNames(InspectArchive(Archive(57))),
              (std::vector<std::string> { "2024/C0001/IMAGE.DB", "2024/C0001/image.db", "2024/C0001/IMAGE.MB",
                                          "2024/C0001/IMAGE.PX", "2024/C0001/images.txt", "2024/C0001/notes.txt",
                                          "ARCS.DB", "ARCS.MB" }));
}

TEST_F(BuildClaimArchiveTest, ReplacesAnEarlierArchiveRatherThanAddingToIt)
{
    test::MakeArchive(Archive(57), json::Value::parse(R"([{"name": "2024/C0001/old.txt", "data": "stale"},
                                                          {"name": "ARCS.DB", "data": "stale"}])"));
    ClaimFile("notes.txt", "current");
    Build("2024", "C0001", 57, true);
    EXPECT_EQ(MemberNames(InspectArchive(Archive(57))),
              (std::vector<std::string> { "2024/C0001/notes.txt", "ARCS.DB", "ARCS.MB" }));
}

TEST_F(BuildClaimArchiveTest, AFailureIsPrintedAndLeavesNoArchiveToSend)
{
    struct Case
    {
        std::string what;
        std::string claimSubdir;
        std::string mentioned; // a part of the printed message
    };
    ClaimFile("notes.txt", "notes");
    // A pipe in the claim folder cannot be packed: the build stops there.
    const std::string pipe = layout.claimsDir + "/2024/C0001/queue";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    const Case cases[] = {
        { "unpackable file", "C0001", pipe },
        { "missing claim folder", "C0002", layout.claimsDir + "/2024/C0002" },
        { "no claim folder named", "", "claims directory" },
    };
    for (const Case& c : cases) {
        test::MakeArchive(Archive(57), json::Value::parse(R"([{"name": "old.txt", "data": "stale"}])"));
        const std::string printed = Build("2024", c.claimSubdir, 57, true);
        EXPECT_EQ(printed.rfind("Exception: ", 0), 0u) << c.what << ": " << printed;
        EXPECT_NE(printed.find(c.mentioned), std::string::npos) << c.what << ": " << printed;
        EXPECT_EQ(printed.back(), '\n') << c.what;
        EXPECT_EQ(printed.find('\n'), printed.size() - 1) << c.what << ": one line";
        // Neither the earlier archive nor a partial one stands where the upload looks for it.
        EXPECT_FALSE(std::filesystem::exists(Archive(57))) << c.what;
        EXPECT_EQ(std::filesystem::directory_iterator(env.UploadDir()), std::filesystem::directory_iterator())
            << c.what << ": no temporary file left behind";
    }
}

TEST(ArcConfirmProcessFile, LeavesOutLockLogAndUnwantedImageFilesOnlyWhenPacking)
{
    test::TempTree tree;
    struct Case
    {
        std::string name;
        bool withImages; // passes when the image tables are wanted
        bool withoutImages; // passes when they are not
    };
    const Case cases[] = {
        { "2024/C0001/notes.txt", true, true },
        { "2024/C0001/LOCKOUT.TXT", false, false },
        { "2024/C0001/xlockout.txt", false, false },
        { "2024/C0001/ErrorLog.txt.bak", false, false },
        { "2024/C0001/PARADOX.LCK", false, false },
        { "2024/C0001/pdoxusrs.net", false, false },
        { "2024/C0001/network.txt", true, true },
        { "2024/C0001/lck.txt", true, true },
        { "2024/C0001/notes.lck.txt", true, true },
        { "2024/C0001/Image.Db", true, false },
        { "2024/C0001/IMAGE.MB", true, false },
        { "2024/C0001/myimage.px", true, false },
        { "2024/C0001/IMAGE.TV", true, true },
        { "2024/C0001/SCNDOC.MB", true, true },
        { "ARCS.DB", true, true },
    };
    TArcObj with(tree.Path("a.zip"), true);
    TArcObj without(tree.Path("b.zip"), false);
    EXPECT_TRUE(with.IncludeImageTables);
    EXPECT_FALSE(without.IncludeImageTables);
    for (const Case& c : cases) {
        for (const zip::Operation operation :
             { zip::Operation::Add, zip::Operation::Update, zip::Operation::Extract }) {
            bool confirm = true;
            with.ArcConfirmProcessFile(c.name, operation, confirm);
            EXPECT_EQ(confirm, c.withImages) << c.name;
            confirm = true;
            without.ArcConfirmProcessFile(c.name, operation, confirm);
            EXPECT_EQ(confirm, c.withoutImages) << c.name;
        }
        for (const zip::Operation operation : { zip::Operation::Move, zip::Operation::Delete, zip::Operation::Test }) {
            bool confirm = true;
            without.ArcConfirmProcessFile(c.name, operation, confirm);
            EXPECT_TRUE(confirm) << c.name << ": other operations pass";
        }
    }
}
