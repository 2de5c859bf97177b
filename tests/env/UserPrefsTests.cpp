#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"

using namespace wh;
using namespace wh::env;
using test::ReadFile;

namespace {

// A program folder with its alias file, a claims directory and a local data folder in a
// temporary tree.
class UserPrefsTest : public ::testing::Test
{
protected:
    UserPrefsTest()
        : programEnv("WHUPLOAD_PROGRAM_DIR", tree.MakeDir("prog"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , env(notice, clock, [] {})
        , prefs(env)
    {
        tree.Write("prog/DBAlias.ini", "KVXClaimsDB=" + tree.MakeDir("claims") + "\r\n");
    }

    std::string WriteUserP(const std::string& content) { return tree.Write("claims/UserP.ini", content); }
    std::string UserP() const { return ReadFile(tree.Path("claims/UserP.ini")); }

    test::TempTree tree;
    test::ScopedEnv programEnv;
    test::ScopedEnv dataEnv;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    WarehouseEnv env;
    UserPrefs prefs;
};

// Another user of the machine, for the tests that a superuser can run on another's behalf.
constexpr uid_t kOtherUid = 61234;
constexpr gid_t kOtherGid = 61234;

// Runs `job` in a child process that first becomes `uid`/`gid` (only a superuser can; anyone can
// stay who they are). 0 when the job succeeded, 1 when it failed, 2 when the ids could not be
// taken, 3 when the child cannot reach `folder`.
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

int WriteAs(uid_t uid, gid_t gid, const std::string& path, const std::string& key, const std::string& value)
{
    return RunAs(uid, gid, std::filesystem::path(path).parent_path().string(),
                 [&] { return WriteIniValueKeepingText(path, "MANAGER", key, value); });
}

struct stat StatOf(const std::string& path)
{
    struct stat info = {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
}

} // namespace

TEST(PasswordScrambling, FixedVectorsAndRoundTrips)
{
    struct Case
    {
        std::string plain;
        std::string stored;
    };
    const Case cases[] = {
        { "", "" },
        { "a", "99;" },
        { "secret", "113;32;216;194;5;184;" },
        { " pw one ", "34;228;172;254;116;80;210;212;" }, // blanks are part of the password
        { "\xE9t\xE9", "235;18;246;" }, // bytes of the ANSI code page
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodePassword(c.plain), c.stored) << c.plain;
        EXPECT_EQ(DecodePassword(c.stored), c.plain) << c.stored;
    }

    std::string everyByte;
    for (int i = 0; i < 256; ++i) {
        everyByte.push_back(static_cast<char>(i));
    }
    everyByte += everyByte;
    const std::string scrambled = ScrambleText(everyByte);
    EXPECT_EQ(scrambled.size(), everyByte.size());
    EXPECT_NE(scrambled, everyByte);
    EXPECT_EQ(UnscrambleText(scrambled), everyByte);
    EXPECT_EQ(DecodePassword(EncodePassword(everyByte)), everyByte);
}

TEST(PasswordScrambling, StoredTextEdgeCases)
{
    // Whatever follows the last ";" is dropped.
    EXPECT_EQ(DecodePassword("113;32;216;194;5;184;99"), "secret");
    EXPECT_EQ(DecodePassword("99"), "");
    // Only the low 8 bits of a number count: 300 is the byte 44.
    EXPECT_EQ(DecodePassword("300;"), UnscrambleText("\x2C"));
    EXPECT_EQ(DecodePassword("355;"), DecodePassword("99;"));

    for (const char* wrong : { ";", "99;;", "abc;", "9x;", "1;2.5;" }) {
        EXPECT_THROW(DecodePassword(wrong), Error) << wrong;
    }
}

TEST(UploadAllSetting, OnlyTrueInAnyCaseMeansEveryClaim)
{
    for (const char* yes : { "TRUE", "true", " True ", "\ttRuE\t" }) {
        EXPECT_TRUE(IsUploadAllValue(yes)) << yes;
    }
    for (const char* no : { "", "FALSE", "yes", "1", "TRUE1", "T RUE" }) {
        EXPECT_FALSE(IsUploadAllValue(no)) << no;
    }
}

TEST_F(UserPrefsTest, WithoutAFileEveryKeyReadsAsItsDefault)
{
    EXPECT_EQ(prefs.ReadUserPref("KVD_FindGridField", "Adj_LastName"), "Adj_LastName");
    for (const UserPrefKey& key : { kPrefWServer, kPrefWName, kPrefWPassWord, kPrefWCompany, kPrefWHUploadAll }) {
        EXPECT_EQ(prefs.ReadUserPref(key), "") << key.key;
    }
    EXPECT_EQ(prefs.ReadUserPref(kPrefFindGridField), "Adj_LastName");
    EXPECT_EQ(prefs.ReadPassword(), "");
}

// A file that is missing holds no settings; a file that is there but cannot be read (here a
// folder in its place) holds settings that are unknown. The reader that writes back is told so,
// with the file's name and the reason; the plain reader still gets its default; and nothing of
// the failed read is kept, so the settings read as soon as the file can be read again.
TEST_F(UserPrefsTest, AFileThatCannotBeReadIsAnErrorNotAnEmptyFile)
{
    EXPECT_EQ(prefs.ReadStoredUserPref(kPrefFindGridField), "Adj_LastName");
    prefs.FreeUserPrefsCache();

    const std::string path = tree.Path("claims/UserP.ini");
    std::filesystem::create_directory(path);
    try {
        prefs.ReadStoredUserPref(kPrefWName);
        ADD_FAILURE() << "no error";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("\"" + path + "\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(SystemErrorText(EISDIR)), std::string::npos) << e.what();
    }
    EXPECT_EQ(prefs.ReadUserPref(kPrefWName), "");
    EXPECT_EQ(prefs.ReadUserPref(kPrefFindGridField), "Adj_LastName");

    std::filesystem::remove(path);
    WriteUserP("[MANAGER]\r\nWName=jdoe\r\n");
    EXPECT_EQ(prefs.ReadUserPref(kPrefWName), "jdoe");
    EXPECT_EQ(prefs.ReadStoredUserPref(kPrefWName), "jdoe");
}

TEST_F(UserPrefsTest, ReadsTheCurrentUsersSectionAsStored)
{
    WriteUserP("[jim]\r\nWName=jim\r\n[ manager ]\r\n wname =  the boss \r\nWHUploadAll=True\r\n");
    // Names match without regard to case; the value keeps its inner blanks, callers trim.
    EXPECT_EQ(prefs.ReadUserPref("WNAME", ""), "the boss");
    EXPECT_TRUE(IsUploadAllValue(prefs.ReadUserPref(kPrefWHUploadAll)));
    EXPECT_EQ(prefs.ReadUserPref("WCompany", "none"), "none");
}

TEST_F(UserPrefsTest, TheFirstCopyOfASectionAndOfAKeyIsTheOneRead)
{
    WriteUserP("[MANAGER]\r\nWName=first\r\nWServer=<<<EOF\r\nWCompany=ACME\r\nEOF\r\nwname=second\r\n"
               "[manager]\r\nWName=third\r\nWHUploadAll=TRUE\r\n");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "first");
    EXPECT_EQ(prefs.ReadUserPref("WServer", ""), "<<<EOF");
    EXPECT_EQ(prefs.ReadUserPref("WCompany", ""), "ACME");
    // Only in the later copy of the section: not there for the adjusting product either.
    EXPECT_EQ(prefs.ReadUserPref("WHUploadAll", "absent"), "absent");
}

TEST_F(UserPrefsTest, WriteTrimsKeyAndValueAndCreatesTheFile)
{
    prefs.WriteUserPref("  WName\t", "  jdoe  ");
    EXPECT_EQ(UserP(), "[MANAGER]\r\nWName=jdoe\r\n");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "jdoe");
    prefs.WriteUserPref("WName", "");
    EXPECT_EQ(UserP(), "[MANAGER]\r\nWName=\r\n");
    EXPECT_EQ(prefs.ReadUserPref("WName", "x"), "");
}

TEST(IniFileReading, MatchesAsTheProductReads)
{
    struct Case
    {
        const char* what;
        std::string text;
        std::string section;
        std::string key;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        { "the first entry of a key wins", "[A]\r\nx=1\r\nX=2\r\n", "A", "x", "1" },
        { "the first copy of a section is the only one looked in", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n[A]\r\nx=3\r\nz=4\r\n",
          "a", "x", "1" },
        { "a key only in a later copy is not found", "[A]\r\nx=1\r\n[B]\r\n[A]\r\nz=4\r\n", "A", "z", std::nullopt },
        { "a later copy in another case is a copy too", "[A]\r\nx=1\r\n[ a ]\r\nz=4\r\n", "A", "z", std::nullopt },
        { "an empty first copy hides a later one", "[A]\n[B]\ny=2\n[A]\nx=1\n", "A", "x", std::nullopt },
        { "names match without regard to case", "[Manager]\nWName=jim\n", "MANAGER", "wname", "jim" },
        { "blanks around names and values are no part of them", "  [ MANAGER ]  \n\t WName \t=  jim  doe \t\n",
          "MANAGER", "WName", "jim  doe" },
        { "a value beginning with <<< is an ordinary value", "[A]\nx=<<<END\ny=2\nEND\n", "A", "x", "<<<END" },
        { "...and the lines after it are entries", "[A]\nx=<<<END\ny=2\nEND\n", "A", "y", "2" },
        { "a value is cut at the first =", "[A]\nx=a=b\n", "A", "x", "a=b" },
        { "an empty value is a value", "[A]\nx=\n", "A", "x", "" },
        { "a ; inside a value is part of it", "[A]\nx=12;34; # not a comment\n", "A", "x", "12;34; # not a comment" },
        { "a comment line is no entry", "[A]\n;x=1\n# x=2\nx=3\n", "A", "x", "3" },
        { "a line without = is no entry", "[A]\nx\n", "A", "x", std::nullopt },
        { "entries before the first section belong to none", "x=1\n[A]\n", "A", "x", std::nullopt },
        { "the next section ends the one before", "[A]\n[B]\nx=1\n", "A", "x", std::nullopt },
        { "a byte-order mark is no part of the first line", "\xEF\xBB\xBF[A]\r\nx=1\r\n", "A", "x", "1" },
        { "a last line without a line break", "[A]\r\nx=1", "A", "x", "1" },
        { "a missing section", "[A]\nx=1\n", "B", "x", std::nullopt },
    };
    test::TempTree tree;
    for (const Case& c : cases) {
        const std::string path = tree.Write("case.ini", c.text);
        IniFile ini;
        ASSERT_TRUE(ini.Load(path)) << c.what;
        EXPECT_EQ(ini.HasValue(c.section, c.key), c.expected.has_value()) << c.what;
        EXPECT_EQ(ini.ReadString(c.section, c.key, "(fallback)"), c.expected.value_or("(fallback)")) << c.what;
    }
}

TEST(IniFileReading, IntegersFollowTheSameRules)
{
    test::TempTree tree;
    IniFile ini;
    ASSERT_TRUE(ini.Load(tree.Write("warehouse.ini",
                                    "[Check]\r\nInterval= 5000 \r\nInterval=7\r\nBad=5s\r\n"
                                    "[check]\r\nLater=9\r\n")));
    EXPECT_EQ(ini.ReadInteger("check", "interval", 900000), 5000);
    EXPECT_EQ(ini.ReadInteger("Check", "Bad", 900000), 900000);
    EXPECT_EQ(ini.ReadInteger("Check", "Later", 900000), 900000);
    EXPECT_FALSE(ini.Load(tree.Path("missing.ini")));
    EXPECT_EQ(ini.ReadInteger("Check", "Interval", 900000), 900000); // a failed load leaves nothing behind
}

TEST(IniFileWriting, SavingChangesOnlyTheWrittenEntries)
{
    test::TempTree tree;
    const std::string path = tree.Write("Warehouse.ini",
                                        "; kept\r\n[MachineUser]\r\nUser = OLD\r\nTheme=x\r\n\r\n"
                                        "[machineuser]\r\nUID=3\r\n[Other]\r\nk = v\r\n; the end");
    IniFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_TRUE(ini.WriteString("MachineUser", "User", "JIM "));
    EXPECT_TRUE(ini.WriteString("MachineUser", "UID", "5"));
    // What was written reads back at once, from the first copy of the section.
    EXPECT_EQ(ini.ReadString("MACHINEUSER", "user", ""), "JIM");
    EXPECT_EQ(ini.ReadInteger("MachineUser", "UID", 0), 5);
    // A value that cannot be stored as one line is refused and changes nothing.
    EXPECT_FALSE(ini.WriteString("MachineUser", "User", "two\r\nlines"));
    EXPECT_EQ(ini.ReadString("MachineUser", "User", ""), "JIM");
    ASSERT_TRUE(ini.Save(path));
    EXPECT_EQ(ReadFile(path),
              "; kept\r\n[MachineUser]\r\nUser=JIM\r\nTheme=x\r\nUID=5\r\n\r\n"
              "[machineuser]\r\nUID=3\r\n[Other]\r\nk = v\r\n; the end");
}

TEST(IniTextValue, ChangesOnlyTheEntry)
{
    // The adjusting product's content: a comment first and last, another user's section, a
    // section repeated in another case, odd spacing, a value with ";" and no final line break.
    const std::string product = "; Korvan preferences\r\n"
                                "[JIM]\r\n"
                                "Color = blue ; not a comment\r\n"
                                "WName=jim\r\n"
                                "\r\n"
                                "[ MANAGER ]\r\n"
                                "Theme=dark\r\n"
                                ";WName=commented out\r\n"
                                "\r\n"
                                "[Manager]\r\n"
                                "Other=1\r\n"
                                "; the end";
    struct Case
    {
        const char* what;
        std::string text;
        std::string section;
        std::string key;
        std::string value;
        std::string expected;
    };
    const Case cases[] = {
        { "new key goes to the end of the first matching section", product, "manager", "WName", "new",
          "; Korvan preferences\r\n[JIM]\r\nColor = blue ; not a comment\r\nWName=jim\r\n\r\n[ MANAGER ]\r\n"
          "Theme=dark\r\n;WName=commented out\r\nWName=new\r\n\r\n[Manager]\r\nOther=1\r\n; the end" },
        { "a key only in a later copy of the section goes to the first copy, the one readers look in", product,
          "MANAGER", "other", "2",
          "; Korvan preferences\r\n[JIM]\r\nColor = blue ; not a comment\r\nWName=jim\r\n\r\n[ MANAGER ]\r\n"
          "Theme=dark\r\n;WName=commented out\r\nother=2\r\n\r\n[Manager]\r\nOther=1\r\n; the end" },
        { "only the first entry of a repeated key, the one readers take, changes", "[A]\nx=1\nx=2\n[a]\nx=3\n", "A",
          "X", "4", "[A]\nX=4\nx=2\n[a]\nx=3\n" },
        { "another user's key", product, "Jim", "COLOR", "12;34;",
          "; Korvan preferences\r\n[JIM]\r\nCOLOR=12;34;\r\nWName=jim\r\n\r\n[ MANAGER ]\r\n"
          "Theme=dark\r\n;WName=commented out\r\n\r\n[Manager]\r\nOther=1\r\n; the end" },
        { "a new section is appended after a line break", product, "ANN", "WName", "ann",
          product + "\r\n[ANN]\r\nWName=ann\r\n" },
        { "line feeds stay line feeds", "[A]\nx=1\n[B]\ny=2\n", "a", "z", "3", "[A]\nx=1\nz=3\n[B]\ny=2\n" },
        { "last section without a final line break", "[A]\nx=1", "A", "z", "3", "[A]\nx=1\nz=3\n" },
        { "a byte-order mark stays in front", "\xEF\xBB\xBF[A]\r\nx=1\r\n", "A", "x", "2",
          "\xEF\xBB\xBF[A]\r\nx=2\r\n" },
        { "empty text", "", "MANAGER", "WName", "a", "[MANAGER]\r\nWName=a\r\n" },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SetIniTextValue(c.text, c.section, c.key, c.value), c.expected) << c.what;
    }
    // Names and values that could not be read back as written.
    EXPECT_FALSE(SetIniTextValue(product, "MANAGER", "", "x"));
    EXPECT_FALSE(SetIniTextValue(product, "MANAGER", "a=b", "x"));
    EXPECT_FALSE(SetIniTextValue(product, "MANAGER", "WName", "two\r\nlines"));
    EXPECT_FALSE(SetIniTextValue(product, "MAN]AGER", "WName", "x"));
}

TEST_F(UserPrefsTest, WriteKeepsTheProductsContentByteForByte)
{
    const std::string before = "; Korvan preferences\r\n[MANAGER]\r\nTheme = dark\r\nWName=old\r\n\r\n"
                               "[manager]\r\nWName=older\r\n; trailing comment";
    WriteUserP(before);
    prefs.WriteUserPref("WName", "new");
    EXPECT_EQ(UserP(),
              "; Korvan preferences\r\n[MANAGER]\r\nTheme = dark\r\nWName=new\r\n\r\n"
              "[manager]\r\nWName=older\r\n; trailing comment");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "new");
    EXPECT_EQ(prefs.ReadUserPref("Theme", ""), "dark");
}

TEST_F(UserPrefsTest, WriteThroughALinkChangesTheLinkedFile)
{
    const std::string shared = tree.Write("share/UserP.ini", "[MANAGER]\nWName=old\n");
    std::filesystem::create_symlink(shared, tree.Path("claims/UserP.ini"));
    prefs.WriteUserPref("WName", "new");
    EXPECT_TRUE(std::filesystem::is_symlink(tree.Path("claims/UserP.ini")));
    EXPECT_EQ(ReadFile(shared), "[MANAGER]\nWName=new\n");
}

TEST_F(UserPrefsTest, WriteThroughAHardLinkChangesEveryName)
{
    const std::string other = tree.Write("share/UserP.ini", "[MANAGER]\nWName=old\n");
    std::filesystem::create_hard_link(other, tree.Path("claims/UserP.ini"));
    prefs.WriteUserPref("WName", "new");
    EXPECT_EQ(ReadFile(other), "[MANAGER]\nWName=new\n");
    EXPECT_EQ(std::filesystem::hard_link_count(other), 2u);
}

// A UserP.ini shared by the users of a machine is written by whoever changes a setting: the file
// keeps its owner, group and mode, and a folder the writer may not change does not stop a write
// to a file the writer may change. Every other byte of the file stays as it was.
TEST(IniFileReplacement, KeepsOwnerGroupAndModeWhoeverWrites)
{
    const bool root = ::geteuid() == 0;
    const uid_t me = ::geteuid();
    const gid_t myGroup = ::getegid();
    struct Case
    {
        const char* what;
        bool needsRoot;
        mode_t folderMode;
        mode_t fileMode;
        uid_t fileUid;
        gid_t fileGid;
        uid_t writerUid;
        gid_t writerGid;
    };
    const Case cases[] = {
        { "the owner, in a folder only readable", false, 0555, 0640, me, myGroup, me, myGroup },
        { "the owner, an odd mode", false, 0755, 0604, me, myGroup, me, myGroup },
        { "another user, in a folder only readable", true, 0755, 0666, 0, 0, kOtherUid, kOtherGid },
        { "another user, in a folder open to all", true, 0777, 0666, 0, 0, kOtherUid, kOtherGid },
        { "another user, in a folder open to all with the sticky bit", true, 01777, 0646, 0, 0, kOtherUid, kOtherGid },
        { "the superuser, on another user's file", true, 0755, 0640, kOtherUid, kOtherGid + 1, 0, 0 },
        { "the superuser, on a file with the set-group-id bit", true, 0755, 02770, kOtherUid, kOtherGid, 0, 0 },
    };
    // The new value is shorter, so a rewrite in place must also cut the file.
    const std::string before
        = "; Korvan preferences\r\n[MANAGER]\r\nTheme = dark\r\nWName=the old value\r\n[JIM]\r\nWName=jim";
    const std::string after = "; Korvan preferences\r\n[MANAGER]\r\nTheme = dark\r\nWName=new\r\n[JIM]\r\nWName=jim";
    int ran = 0;
    for (const Case& c : cases) {
        if (c.needsRoot && !root) {
            continue;
        }
        test::TempTree tree;
        // The tree's root is private to its maker; the writer must be able to pass through it.
        std::filesystem::permissions(tree.Root(), std::filesystem::perms(0755));
        const std::string folder = tree.MakeDir("claims");
        const std::string path = tree.Write("claims/UserP.ini", before);
        ASSERT_EQ(::chown(path.c_str(), c.fileUid, c.fileGid), 0) << c.what;
        ASSERT_EQ(::chmod(path.c_str(), c.fileMode), 0) << c.what;
        ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0) << c.what;

        const int result = WriteAs(c.writerUid, c.writerGid, path, "WName", "new");
        ::chmod(folder.c_str(), 0755);
        if (result == 3) {
            // The temporary folder lies below a folder that other users cannot enter.
            continue;
        }
        ++ran;
        EXPECT_EQ(result, 0) << c.what;
        EXPECT_EQ(ReadFile(path), after) << c.what;
        const struct stat info = StatOf(path);
        EXPECT_EQ(info.st_uid, c.fileUid) << c.what;
        EXPECT_EQ(info.st_gid, c.fileGid) << c.what;
        EXPECT_EQ(info.st_mode & 07777, c.fileMode) << c.what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << c.what << ": a file left over";
    }
    if (ran == 0) {
        GTEST_SKIP() << "every case needs the superuser, or a temporary folder open to other users";
    }
}

TEST(IniFileReplacement, AFileTheWriterMayNotChangeStaysAsItWas)
{
    const bool root = ::geteuid() == 0;
    test::TempTree tree;
    std::filesystem::permissions(tree.Root(), std::filesystem::perms(0755));
    const std::string folder = tree.MakeDir("claims");
    ::chmod(folder.c_str(), 0777);
    const std::string path = tree.Write("claims/UserP.ini", "[MANAGER]\r\nWName=old\r\n");
    ::chmod(path.c_str(), root ? 0644 : 0444);
    // The superuser may write any file, so the writer is another user then.
    const int result = root ? WriteAs(kOtherUid, kOtherGid, path, "WName", "new")
                            : WriteAs(::geteuid(), ::getegid(), path, "WName", "new");
    if (result == 3) {
        GTEST_SKIP() << "the temporary folder lies below a folder that other users cannot enter";
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadFile(path), "[MANAGER]\r\nWName=old\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

TEST_F(UserPrefsTest, ReadsComeFromASnapshotThatEveryWriteRenews)
{
    WriteUserP("[MANAGER]\r\nWName=first\r\n");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "first");
    // Another program changes the file: the snapshot does not see it...
    WriteUserP("[MANAGER]\r\nWName=second\r\n");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "first");
    // ...until the tool writes a preference itself, or lets the snapshot go.
    prefs.WriteUserPref("WCompany", "ACME");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "second");
    EXPECT_EQ(prefs.ReadUserPref("WCompany", ""), "ACME");
    WriteUserP("[MANAGER]\r\nWName=third\r\n");
    prefs.FreeUserPrefsCache();
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "third");
}

TEST_F(UserPrefsTest, AFailedWriteIsSilentAndKeepsTheSnapshot)
{
    WriteUserP("[MANAGER]\r\nWName=kept\r\n");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "kept");
    if (::geteuid() != 0) {
        // (The superuser may write any file, so this half only runs for other users.)
        std::filesystem::permissions(tree.Path("claims/UserP.ini"), std::filesystem::perms::owner_read);
        EXPECT_NO_THROW(prefs.WriteUserPref("WName", "lost"));
        EXPECT_EQ(UserP(), "[MANAGER]\r\nWName=kept\r\n");
        EXPECT_EQ(prefs.ReadUserPref("WName", ""), "kept");
    }
    std::filesystem::remove_all(tree.Path("claims"));
    EXPECT_NO_THROW(prefs.WriteUserPref("WName", "lost"));
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "kept");
}

TEST_F(UserPrefsTest, PasswordIsStoredScrambledAndReadWhole)
{
    prefs.WritePassword(" pw one ");
    EXPECT_EQ(UserP(), "[MANAGER]\r\nWPassWord=34;228;172;254;116;80;210;212;\r\n");
    prefs.FreeUserPrefsCache();
    EXPECT_EQ(prefs.ReadPassword(), " pw one ");

    // A stored text in a wrong form is an empty password, never an error.
    for (const char* wrong : { "abc;", "12;;", ";" }) {
        WriteUserP(std::string("[MANAGER]\r\nWPassWord=") + wrong + "\r\n");
        prefs.FreeUserPrefsCache();
        EXPECT_EQ(prefs.ReadPassword(), "") << wrong;
    }
}

TEST_F(UserPrefsTest, ChosenUserIsStoredAndTakesEffectAtOnce)
{
    env.PrepareLocalFolders();
    WriteUserP("[MANAGER]\r\nWName=boss\r\n[JIM]\r\nWName=jim\r\n");
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "boss");

    prefs.SaveMachineUser("JIM", 5);
    EXPECT_EQ(env.CurrentUserName(), "JIM");
    EXPECT_EQ(env.CurrentUserID(), 5);
    EXPECT_EQ(prefs.ReadUserPref("WName", ""), "jim");

    // The next start reads the same choice.
    WarehouseEnv restarted(notice, clock, [] {});
    restarted.PrepareLocalFolders();
    EXPECT_EQ(restarted.CurrentUserName(), "JIM");
    EXPECT_EQ(restarted.CurrentUserID(), 5);
    EXPECT_EQ(prefs.MachineUserPath(), tree.Path("data/Korvan/Warehouse/Warehouse.ini"));
}

TEST_F(UserPrefsTest, ChosenUserIsStoredBesideWhatTheFileHolds)
{
    env.PrepareLocalFolders();
    const std::string before = "; the workstation's choices\r\n[MachineUser]\r\nUser = OLD\r\nUID=3\r\nTheme=dark\r\n"
                               "\r\n[machineuser]\r\nUser=later\r\n[Other]\r\nk=v\r\n; the end";
    tree.Write("data/Korvan/Warehouse/Warehouse.ini", before);
    prefs.SaveMachineUser("JIM", 5);
    EXPECT_EQ(ReadFile(prefs.MachineUserPath()),
              "; the workstation's choices\r\n[MachineUser]\r\nUser=JIM\r\nUID=5\r\nTheme=dark\r\n"
              "\r\n[machineuser]\r\nUser=later\r\n[Other]\r\nk=v\r\n; the end");
    WarehouseEnv restarted(notice, clock, [] {});
    restarted.PrepareLocalFolders();
    EXPECT_EQ(restarted.CurrentUserName(), "JIM");
    EXPECT_EQ(restarted.CurrentUserID(), 5);
}

TEST_F(UserPrefsTest, ChosenUserIsNotStoredOverAFileThatCannotBeRead)
{
    env.PrepareLocalFolders();
    const std::string path
        = tree.Write("data/Korvan/Warehouse/Warehouse.ini", "[MachineUser]\r\nUser=OLD\r\nUID=3\r\n[Other]\r\nk=v\r\n");
    // Write-only for its owner; the superuser reads any file, so the owner is another user then.
    const bool root = ::geteuid() == 0;
    const uid_t owner = root ? kOtherUid : ::geteuid();
    const gid_t group = root ? kOtherGid : ::getegid();
    std::filesystem::permissions(tree.Root(), std::filesystem::perms(0755));
    for (const char* folder : { "data", "data/Korvan", "data/Korvan/Warehouse" }) {
        ASSERT_EQ(::chown(tree.Path(folder).c_str(), owner, group), 0) << folder;
    }
    ASSERT_EQ(::chown(path.c_str(), owner, group), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
    const int result = RunAs(owner, group, tree.Path("data/Korvan/Warehouse"), [&] {
        try {
            prefs.SaveMachineUser("JIM", 5);
            return true;
        } catch (const FileError&) {
            return false;
        }
    });
    if (result == 3) {
        GTEST_SKIP() << "the temporary folder lies below a folder that other users cannot enter";
    }
    EXPECT_EQ(result, 1);
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(ReadFile(path), "[MachineUser]\r\nUser=OLD\r\nUID=3\r\n[Other]\r\nk=v\r\n");
}

TEST_F(UserPrefsTest, ChosenUserThatCannotBeStoredRaisesButStaysCurrent)
{
    // No local folder tree: the start-up has not made it.
    EXPECT_THROW(prefs.SaveMachineUser("ANN", 9), FileError);
    EXPECT_EQ(env.CurrentUserName(), "ANN");
    EXPECT_EQ(env.CurrentUserID(), 9);
}
