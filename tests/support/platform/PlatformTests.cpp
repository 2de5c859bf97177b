// The user's own folders: the temporary folder is private to the user, and no base folder ever
// falls back to the working folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/TempTree.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"

using namespace wh;

namespace {

struct FolderState
{
    unsigned uid;
    unsigned mode;
};

FolderState StateOf(const std::string& path)
{
    struct stat info = {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return { info.st_uid, info.st_mode & 07777u };
}

std::string ErrorOf(const std::string& parent, unsigned uid)
{
    try {
        platform::UserTempDir(parent, uid);
    } catch (const FileError& e) {
        return e.what();
    }
    return {};
}

} // namespace

TEST(UserTempDir, IsMadeOrTightenedForItsOwnerOnly)
{
    test::TempTree tree;
    const unsigned me = ::geteuid();
    const std::string folder = tree.Path("whupload-" + std::to_string(me));

    EXPECT_EQ(platform::UserTempDir(tree.Root(), me), folder);
    EXPECT_EQ(StateOf(folder).uid, me);
    EXPECT_EQ(StateOf(folder).mode, 0700u);

    ::chmod(folder.c_str(), 0777); // left open by hand: made private again
    EXPECT_EQ(platform::UserTempDir(tree.Root(), me), folder);
    EXPECT_EQ(StateOf(folder).mode, 0700u);
}

TEST(UserTempDir, RefusesWhatAnotherUserCouldHavePlanted)
{
    test::TempTree tree;
    const unsigned me = ::geteuid();
    const std::string folder = tree.Path("whupload-" + std::to_string(me));

    tree.MakeDir("theirs");
    std::filesystem::create_directory_symlink(tree.Path("theirs"), folder);
    EXPECT_NE(ErrorOf(tree.Root(), me).find("is a link"), std::string::npos);
    EXPECT_EQ(StateOf(tree.Path("theirs")).uid, me); // nothing changed behind the link
    std::filesystem::remove(folder);

    tree.Write("whupload-" + std::to_string(me), "a file");
    EXPECT_NE(ErrorOf(tree.Root(), me).find("is not a folder"), std::string::npos);
    std::filesystem::remove(folder);

    // A folder of another user: the test plays both users by naming another uid.
    const unsigned other = me + 1;
    const std::string otherFolder = tree.Path("whupload-" + std::to_string(other));
    ::mkdir(otherFolder.c_str(), 0700);
    ::chmod(otherFolder.c_str(), 0777);
    const std::string error = ErrorOf(tree.Root(), other);
    EXPECT_NE(error.find("belongs to another user (uid " + std::to_string(me) + ")"), std::string::npos) << error;
    EXPECT_NE(error.find("set TMPDIR"), std::string::npos);
    EXPECT_EQ(StateOf(otherFolder).mode, 0777u); // not touched
}

TEST(TempDir, IsTmpdirWhenSetElseTheUsersOwnFolder)
{
    {
        test::ScopedEnv tmp("TMPDIR", "/some/where/");
        EXPECT_EQ(platform::TempDir(), "/some/where");
    }
    test::ScopedEnv tmp("TMPDIR");
    const std::string expected = "/tmp/whupload-" + std::to_string(::geteuid());
    EXPECT_EQ(platform::TempDirPath(), expected);
    EXPECT_EQ(platform::TempDir(), expected);
    EXPECT_EQ(StateOf(expected).uid, ::geteuid());
    EXPECT_EQ(StateOf(expected).mode, 0700u);
}

TEST(LocalDataDir, FallsBackToTheHomeOfTheAccountNeverToARelativePath)
{
    const passwd* account = ::getpwuid(::geteuid());
    ASSERT_NE(account, nullptr);
    const std::string accountData = std::string(account->pw_dir) + "/.local/share";
    struct Case
    {
        const char* xdgDataHome; // nullptr: unset
        const char* home;
        std::string expected;
    };
    const Case cases[] = {
        { "/data/x/", "/home/u", "/data/x" },
        { nullptr, "/home/u", "/home/u/.local/share" },
        { "relative/data", "/home/u", "/home/u/.local/share" },
        { nullptr, nullptr, accountData },
        { "", "", accountData },
        { "data", "home", accountData },
    };
    for (const Case& c : cases) {
        auto xdg = c.xdgDataHome ? test::ScopedEnv("XDG_DATA_HOME", c.xdgDataHome) : test::ScopedEnv("XDG_DATA_HOME");
        auto home = c.home ? test::ScopedEnv("HOME", c.home) : test::ScopedEnv("HOME");
        EXPECT_EQ(platform::LocalDataDir(), c.expected)
            << (c.xdgDataHome ? c.xdgDataHome : "(unset)") << " / " << (c.home ? c.home : "(unset)");
    }
}
