#include <gtest/gtest.h>

#include <filesystem>

#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "env/ActivityLog.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"

using namespace wh;
using namespace wh::env;
using test::ReadFile;

namespace {

// A program folder, a claims directory and a local data folder in a temporary tree.
class EnvTest : public ::testing::Test
{
protected:
    EnvTest()
        : programEnv("WHUPLOAD_PROGRAM_DIR", tree.MakeDir("prog"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , env(notice, clock, [this] { ++endRequests; })
    {
    }

    void WriteAlias(const std::string& content) { tree.Write("prog/DBAlias.ini", content); }
    void WriteWarehouseIni(const std::string& content) { tree.Write("claims/Warehouse/warehouse.ini", content); }
    std::string Claims() const { return tree.Path("claims"); }

    test::TempTree tree;
    test::ScopedEnv programEnv;
    test::ScopedEnv dataEnv;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    int endRequests = 0;
    WarehouseEnv env;
};

} // namespace

TEST(SplitDelimited, CutsAtEveryDelimiter)
{
    struct Case
    {
        std::string text;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        { "KVXClaimsDB=/data/claims", { "KVXClaimsDB", "/data/claims" } },
        { "a=b=c", { "a", "b", "c" } },
        { "name=", { "name", "" } },
        { "=value", { "", "value" } },
        { " a = b ", { " a ", " b " } },
        { "\"quoted=text\"=x", { "quoted=text", "x" } },
        { "\"say \"\"hi\"\"\"", { "say \"hi\"" } },
        { "", {} },
    };
    for (const Case& c : cases) {
        std::vector<std::string> fields { "stale" };
        SplitDelimited('=', c.text, &fields);
        EXPECT_EQ(fields, c.fields) << c.text;
    }
    EXPECT_THROW(SplitDelimited('=', "a=b", nullptr), AssertionError);
}

TEST_F(EnvTest, ClaimsDirectoryComesFromTheExactAliasLine)
{
    struct Case
    {
        std::string alias;
        std::string expected;
    };
    const Case cases[] = {
        { "Other=1\r\nKVXClaimsDB=" + Claims() + "\r\nKVXClaimsDB=/second\r\n", Claims() },
        { "\r\n\r\nKVXClaimsDB=" + Claims(), Claims() }, // empty lines skipped, no final line break
        { "KVXClaimsDB=\r\n", "" },
        { "kvxclaimsdb=/lower\r\n", "" },
        { " KVXClaimsDB=/leading-blank\r\n", "" },
        { "KVXClaimsDB =/blank-before-equals\r\n", "" },
        { "KVXClaimsDB\r\n", "" },
        { "KVXClaimsDB=/a=b\r\n", "/a" },
    };
    for (const Case& c : cases) {
        WarehouseEnv fresh(notice, clock, [] {});
        WriteAlias(c.alias);
        EXPECT_EQ(fresh.GetClaimsDir(), c.expected) << c.alias;
    }
    EXPECT_TRUE(notice.messages.empty());
}

TEST_F(EnvTest, ClaimsDirectoryIsCachedOnceFound)
{
    WriteAlias("KVXClaimsDB=" + Claims() + "\n");
    EXPECT_EQ(env.GetClaimsDir(), Claims());
    WriteAlias("KVXClaimsDB=/elsewhere\n");
    EXPECT_EQ(env.GetClaimsDir(), Claims());
}

TEST_F(EnvTest, MissingAliasFileShowsItsMessageAndAsksToEnd)
{
    EXPECT_EQ(env.GetClaimsDir(), "");
    EXPECT_EQ(env.GetClaimsDir(), "");
    ASSERT_EQ(notice.messages.size(), 2u); // every look-up before the end shows it again
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Error);
    EXPECT_EQ(notice.messages[0].text,
              "Please check the location of your \r\nWarehouse Upload Program, it must be in\r\nthe Korvan Program "
              "folder.\r\n\r\nError: Could not locate the DBALIAS.INI file.");
    EXPECT_EQ(endRequests, 2);
}

TEST_F(EnvTest, AliasFileNameIsMatchedWithoutRegardToCase)
{
    tree.Write("prog/dbalias.INI", "KVXClaimsDB=" + Claims() + "\n");
    EXPECT_EQ(env.GetClaimsDir(), Claims());
}

TEST_F(EnvTest, WarehouseIniValuesAreMatchedExactlyAndReturnedUntrimmed)
{
    WriteAlias("KVXClaimsDB=" + Claims() + "\r\n");
    WriteWarehouseIni("   \r\n\r\nWServer =https://blank.example\r\n[Check]\r\nInterval=5\r\n"
                      "WServer= https://host:8443/ \r\nWServer=https://second\r\nPath=a=b\r\n");
    EXPECT_EQ(env.ReadWarehouseIniValue("WServer"), " https://host:8443/ ");
    EXPECT_EQ(env.ReadWarehouseIniValue("Path"), "a");
    EXPECT_EQ(env.ReadWarehouseIniValue("wserver"), "");
    EXPECT_EQ(env.ReadWarehouseIniValue("[Check]"), ""); // a header is a line like any other
    EXPECT_EQ(env.ReadWarehouseIniValue("Missing"), "");
}

TEST_F(EnvTest, MissingWarehouseIniRaisesAnInputOutputError)
{
    WriteAlias("KVXClaimsDB=" + Claims() + "\r\n");
    EXPECT_THROW(env.ReadWarehouseIniValue("WServer"), FileError);
}

TEST_F(EnvTest, LogSizeLimitEmptiesOnlyLogsAboveTwentyFiveMebibytes)
{
    EXPECT_EQ(LimitLogSize(tree.Path("none.txt")), -1);
    const std::string atLimit = tree.Write("at.txt", "");
    const std::string over = tree.Write("over.txt", "");
    std::filesystem::resize_file(atLimit, kLogSizeLimit);
    std::filesystem::resize_file(over, kLogSizeLimit + 1);
    EXPECT_EQ(LimitLogSize(atLimit), kLogSizeLimit);
    EXPECT_EQ(std::filesystem::file_size(atLimit), static_cast<std::uintmax_t>(kLogSizeLimit));
    EXPECT_EQ(LimitLogSize(over), kLogSizeLimit + 1);
    EXPECT_TRUE(std::filesystem::exists(over));
    EXPECT_EQ(std::filesystem::file_size(over), 0u);
}

TEST_F(EnvTest, DeleteFilesByMaskIgnoresCaseAndLeavesOthers)
{
    tree.Write("up/1.json", "x");
    tree.Write("up/2.JSON", "x");
    tree.Write("up/3.kvz", "x");
    tree.Write("up/.hidden.json", "x"); // files of any attribute, hidden ones included
    tree.MakeDir("up/dir.json");
    DeleteFilesByMask(tree.Path("up") + "/", "*.json");
    EXPECT_FALSE(std::filesystem::exists(tree.Path("up/1.json")));
    EXPECT_FALSE(std::filesystem::exists(tree.Path("up/2.JSON")));
    EXPECT_FALSE(std::filesystem::exists(tree.Path("up/.hidden.json")));
    EXPECT_TRUE(std::filesystem::exists(tree.Path("up/3.kvz")));
    EXPECT_TRUE(std::filesystem::exists(tree.Path("up/dir.json")));
    DeleteFilesByMask(tree.Path("no-such-folder"), "*.kvz"); // nothing to do, no error
}

TEST_F(EnvTest, CopyFileOrRaiseOverwritesAndNamesTheSourceOnFailure)
{
    const std::string source = tree.Write("a.db", "new");
    const std::string target = tree.Write("b.db", "old content");
    CopyFileOrRaise(source, target);
    EXPECT_EQ(ReadFile(target), "new");
    try {
        CopyFileOrRaise(tree.Path("missing.db"), target);
        FAIL() << "no error";
    } catch (const FileError& e) {
        EXPECT_EQ(std::string(e.what()), "No such file or directory : Error Copying File : " + tree.Path("missing.db"));
    }
    EXPECT_EQ(ReadFile(target), "new");
}

TEST_F(EnvTest, PrepareLocalFoldersBuildsTheTreeAndCopiesTheTemplateOnce)
{
    WriteAlias("KVXClaimsDB=" + Claims() + "\r\n");
    tree.Write("claims/Warehouse/TempArcs/ARCS.DB", "db v1");
    tree.Write("claims/Warehouse/TempArcs/arcs.px", "px v1");
    tree.Write("claims/Warehouse/TempArcs/Other.DB", "other");
    env.PrepareLocalFolders();
    const std::string local = tree.Path("data/Korvan/Warehouse");
    EXPECT_EQ(env.LocalWarehouseDir(), local);
    EXPECT_EQ(env.UploadDir(), local + "/Upload");
    EXPECT_EQ(env.TempArcsDir(), local + "/TempArcs");
    EXPECT_TRUE(std::filesystem::is_directory(env.UploadDir()));
    EXPECT_EQ(ReadFile(local + "/TempArcs/ARCS.DB"), "db v1");
    EXPECT_EQ(ReadFile(local + "/TempArcs/arcs.px"), "px v1");
    EXPECT_FALSE(std::filesystem::exists(local + "/TempArcs/Other.DB"));

    // A changed template reaches the workstation only after its local copy is deleted.
    tree.Write("claims/Warehouse/TempArcs/ARCS.DB", "db v2");
    WarehouseEnv second(notice, clock, [] {});
    second.PrepareLocalFolders();
    EXPECT_EQ(ReadFile(local + "/TempArcs/ARCS.DB"), "db v1");
    EXPECT_TRUE(notice.messages.empty());
}

TEST_F(EnvTest, FailedTemplateCopyStopsAndShowsTheCopyMessage)
{
    WriteAlias("KVXClaimsDB=" + Claims() + "\r\n");
    tree.Write("claims/Warehouse/TempArcs/ARCS.DB", "db");
    const std::string px = tree.Write("claims/Warehouse/TempArcs/ARCS.PX", "px");
    tree.Write("claims/Warehouse/TempArcs/ARCS.VAL", "val");
    tree.MakeDir("data/Korvan/Warehouse/TempArcs/ARCS.PX"); // a folder where the copy must go
    env.PrepareLocalFolders();
    ASSERT_EQ(notice.messages.size(), 1u);
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Error);
    EXPECT_EQ(notice.messages[0].text, "Is a directory : Error Copying File : " + px + "\r\nCoy Arc Failed");
    EXPECT_TRUE(std::filesystem::exists(tree.Path("data/Korvan/Warehouse/TempArcs/ARCS.DB")));
    EXPECT_FALSE(
        std::filesystem::exists(tree.Path("data/Korvan/Warehouse/TempArcs/ARCS.VAL"))); // stopped at the first failure
}

TEST_F(EnvTest, CurrentUserFollowsTheMachineUserRules)
{
    WriteAlias("KVXClaimsDB=" + Claims() + "\r\n");
    struct Case
    {
        std::string ini;
        std::string name;
        int id;
    };
    const Case cases[] = {
        { "", "MANAGER", 1 },
        { "[MachineUser]\r\nUser=ADJ7\r\nUID=7\r\n", "ADJ7", 7 },
        { "[MachineUser]\r\nUser=ADJ7\r\nUID=0\r\n", "MANAGER", 1 },
        { "[MachineUser]\r\nUID=7\r\n", "MANAGER", 7 },
        { "[machineuser]\r\nuser=lower\r\nuid= 12 \r\n", "lower", 12 },
        { "[MachineUser]\r\nUser=ADJ\r\nUID=seven\r\n", "MANAGER", 1 },
        // The first entry of a key, and the first copy of the section, are the ones read.
        { "[MachineUser]\r\nUser=FIRST\r\nUID=7\r\nUser=SECOND\r\nUID=8\r\n", "FIRST", 7 },
        { "[MachineUser]\r\nUser=ADJ7\r\n[MACHINEUSER]\r\nUID=7\r\n", "MANAGER", 1 },
    };
    for (const Case& c : cases) {
        tree.Write("data/Korvan/Warehouse/Warehouse.ini", c.ini);
        WarehouseEnv fresh(notice, clock, [] {});
        fresh.PrepareLocalFolders();
        EXPECT_EQ(fresh.CurrentUserName(), c.name) << c.ini;
        EXPECT_EQ(fresh.CurrentUserID(), c.id) << c.ini;
    }
}

TEST_F(EnvTest, ActivityLogAppendsStampedLinesWithCrLf)
{
    WriteAlias("KVXClaimsDB=" + Claims() + "\r\n");
    tree.MakeDir("claims/Warehouse");
    AppendActivityLog(env, { "", "~~~~~WHT launch warehouse tool @ " + LogTimestamp(clock) });
    {
        ActivityLog log(env);
        log.WriteStamped("WHT upload all claims = False");
        clock.Set(text::EncodeDateTime({ 2026, 3, 5 }));
        log.WriteStamped("WHT Shutdown");
    }
    EXPECT_EQ(ReadFile(tree.Path("claims/Warehouse/log.txt")),
              "\r\n~~~~~WHT launch warehouse tool @ 03/04/2026 2:05:09 PM\r\n"
              "WHT upload all claims = False @ 03/04/2026 2:05:09 PM\r\n"
              "WHT Shutdown @ 03/05/2026\r\n");
}
