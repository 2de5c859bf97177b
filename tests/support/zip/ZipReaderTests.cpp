#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "common/TempTree.h"
#include "support/Errors.h"
#include "support/zip/ZipReader.h"
#include "support/zip/ZipWriter.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

using namespace wh;
using namespace wh::test;
using wh::zip::Failure;
using wh::zip::FailureAction;
using wh::zip::Operation;
using wh::zip::ZipReader;
using wh::zip::ZipWriter;

namespace {

namespace fs = std::filesystem;

// A claim archive as the upload builds it: the claim folder under its relative path, the ARCS
// family at the root.
std::string WriteClaimArchive(const TempTree& tree)
{
    tree.Write("src/2024/C0001/Claims.DB", "claims record");
    tree.Write("src/2024/C0001/autoincs.db", "counter");
    tree.Write("src/2024/C0001/notes.txt", "notes");
    tree.Write("src/2024/C0001/LOCKOUT.TXT", "lock");
    tree.Write("src/2024/C0001/photos/p1.jpg", "jpeg bytes");
    tree.Write("src/2024/C00012/stray.txt", "a neighbouring claim");
    tree.Write("src/ARCS.DB", "arcs db");
    tree.Write("src/ARCS.PX", "arcs px");
    const std::string archive = tree.Path("57.KVZ");
    ZipWriter writer(archive);
    writer.AddFiles(tree.Path("src"), "2024/*.*", true);
    writer.AddFiles(tree.Path("src"), "ARCS.*", false);
    writer.Close();
    return archive;
}

// Sets the process's umask for the life of the object.
class ScopedUmask
{
public:
    explicit ScopedUmask(mode_t mask)
        : m_saved(::umask(mask))
    {
    }
    ~ScopedUmask() { ::umask(m_saved); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t m_saved;
};

struct RecordedFailures
{
    std::vector<Failure> failures;
    FailureAction action = FailureAction::Skip;

    zip::FailureHandler Handler()
    {
        return [this](const Failure& failure) {
            failures.push_back(failure);
            return action;
        };
    }
};

} // namespace

TEST(ZipMask, MatchesStoredPathsWithoutRegardToCase)
{
    struct Case
    {
        const char* path;
        const char* mask;
        bool matches;
    };
    const Case cases[] = {
        { "ARCS.DB", "arcs.*", true },
        { "arcs.px", "ARCS.*", true },
        { "ARCS", "arcs.*", true }, // a bare name, as the folder search takes it
        { "2024/C0001/ARCS.DB", "arcs.*", false },
        { "ARCS2.DB", "arcs.*", false },
        { "2024/C0001/notes.txt", "2024\\C0001\\*.*", true },
        { "2024/C0001/photos/p1.jpg", "2024\\c0001\\*.*", true },
        { "2024/C0001/README", "2024\\C0001\\*.*", true },
        { "2024/C00012/stray.txt", "2024\\C0001\\*.*", false },
        { "2023/C0001/notes.txt", "2024\\C0001\\*.*", false },
        { "2024\\C0001\\notes.txt", "2024/C0001/*.*", true }, // a name stored with "\"
        { "anything/at/all", "*.*", true },
        { "mtadds.DB", "MTADDS.*", true },
        { "CustomCat.DB", "Custom.*", false },
        { "Custom.DB", "Custom.*", true },
        { "a1.txt", "a?.txt", true },
        { "a12.txt", "a?.txt", false },
        { "abc", "a*b*c", true },
        { "abcb", "a*b*c", false },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zip::MatchesMask(c.path, c.mask), c.matches) << c.path << " against " << c.mask;
    }
}

TEST(ZipReader, ExtractsFoldersContentTimesAndPermissions)
{
    const ScopedUmask umask(022);
    TempTree tree;
    const std::string plain = tree.Write("src/docs/plain.txt", std::string(100000, 'x'));
    const std::string readOnly = tree.Write("src/docs/locked.txt", "locked");
    const struct timespec times[2] = { { 0, UTIME_OMIT }, { 1706702400, 0 } }; // 2024-01-31 12:00 UTC
    ::utimensat(AT_FDCWD, plain.c_str(), times, 0);
    SetMode(plain, 0640);
    SetMode(readOnly, 0444);
    {
        ZipWriter writer(tree.Path("a.zip"));
        writer.AddFiles(tree.Path("src"), "*.*", true);
        writer.Close();
    }

    ZipReader reader(tree.Path("a.zip"));
    ASSERT_EQ(reader.Entries().size(), 2u);
    EXPECT_EQ(reader.Entries()[0].name, "docs/locked.txt");
    EXPECT_EQ(reader.Entries()[1].size, 100000u);
    EXPECT_EQ(reader.Entries()[1].method, 8);
    EXPECT_LT(reader.Entries()[1].compressedSize, 1000u);

    const std::string out = tree.MakeDir("out");
    reader.SetBaseFolder(out);
    const zip::ExtractResult result = reader.Extract("*.*");
    EXPECT_EQ(result.extracted, 2);
    EXPECT_FALSE(result.aborted);
    EXPECT_EQ(ReadFile(out + "/docs/plain.txt"), std::string(100000, 'x'));
    EXPECT_EQ(ReadFile(out + "/docs/locked.txt"), "locked");
    EXPECT_EQ(ModeOf(out + "/docs/plain.txt"), 0644u); // as the umask makes any new file
    EXPECT_EQ(ModeOf(out + "/docs/locked.txt"), 0444u);
    struct stat info = {};
    ASSERT_EQ(::stat((out + "/docs/plain.txt").c_str(), &info), 0);
    EXPECT_NEAR(static_cast<double>(info.st_mtime), 1706702400.0, 2.0); // DOS times have 2-second steps

    // Archives made on Windows carry DOS attributes: the read-only bit is honoured.
    MakeArchive(tree.Path("dos.zip"), json::Value::parse(R"([{"name":"ro.txt","data":"r","system":0,"attr":33},
                                       {"name":"rw.txt","data":"w","system":0,"attr":32}])"));
    ZipReader dos(tree.Path("dos.zip"));
    dos.SetBaseFolder(out);
    EXPECT_EQ(dos.Extract("*.*").extracted, 2);
    EXPECT_EQ(ModeOf(out + "/ro.txt") & 0222, 0u);
    EXPECT_NE(ModeOf(out + "/rw.txt") & 0200, 0u);
}

// A stored mode is the archive's word, not ours: files get the permissions the process gives any
// new file, and only the read-only mark is taken over.
TEST(ZipReader, PermissionsComeFromTheUmaskAndTheReadOnlyMark)
{
    const ScopedUmask umask(027);
    TempTree tree;
    struct Case
    {
        std::string name;
        int system; // 3 Unix, 0 DOS
        std::uint32_t attr;
        mode_t mode;
    };
    const std::vector<Case> cases = {
        { "world-writable", 3, 0100777u << 16, 0640 },
        { "set-user-id", 3, 0104755u << 16, 0640 },
        { "owner-only", 3, 0100600u << 16, 0640 },
        { "unix-read-only", 3, 0100444u << 16, 0440 },
        { "dos-read-only", 0, 0x21, 0440 },
        { "dos-plain", 0, 0x20, 0640 },
        { "no-attributes", 3, 0, 0640 },
    };
    json::Value layout = json::Value::array();
    for (const Case& c : cases) {
        layout.push_back({ { "name", c.name }, { "data", c.name }, { "system", c.system }, { "attr", c.attr } });
    }
    MakeArchive(tree.Path("modes.zip"), layout);

    ZipReader reader(tree.Path("modes.zip"));
    const std::string out = tree.MakeDir("out");
    reader.SetBaseFolder(out);
    EXPECT_EQ(reader.Extract("*").extracted, static_cast<int>(cases.size()));
    for (const Case& c : cases) {
        EXPECT_EQ(ModeOf(out + "/" + c.name), c.mode)
            << c.name << " has mode " << std::oct << ModeOf(out + "/" + c.name);
        EXPECT_EQ(ReadFile(out + "/" + c.name), c.name);
    }
}

TEST(ZipReader, ExtractsBareNamesOfTheMembersAMaskChooses)
{
    TempTree tree;
    const std::string archive = WriteClaimArchive(tree);
    const std::string engineDir = tree.MakeDir("private");
    const std::string claimDir = tree.MakeDir("inbox/40213.kvx");
    std::vector<std::pair<std::string, Operation>> asked;

    ZipReader reader(archive);
    reader.SetRecreateFolders(false);
    reader.SetConfirmHandler([&](const std::string& name, Operation operation) {
        asked.emplace_back(name, operation);
        return name.find("LOCKOUT.TXT") == std::string::npos;
    });
    reader.SetBaseFolder(engineDir);
    EXPECT_EQ(reader.Extract("arcs.*").extracted, 2);
    EXPECT_EQ(ListTree(engineDir), (std::vector<std::string> { "ARCS.DB", "ARCS.PX" }));

    reader.SetBaseFolder(claimDir);
    const zip::ExtractResult result = reader.Extract("2024\\C0001\\*.*");
    EXPECT_EQ(result.extracted, 4);
    EXPECT_EQ(result.skipped, 1);
    EXPECT_EQ(ListTree(claimDir), (std::vector<std::string> { "Claims.DB", "autoincs.db", "notes.txt", "p1.jpg" }));
    EXPECT_EQ(ReadFile(claimDir + "/p1.jpg"), "jpeg bytes");
    ASSERT_EQ(asked.size(), 7u);
    for (const auto& [name, operation] : asked) {
        EXPECT_EQ(operation, Operation::Extract) << name;
    }
}

// One member under a name of the caller's choosing, as a restore that keeps same-named files needs.
TEST(ZipReader, ExtractsOneMemberUnderAGivenName)
{
    TempTree tree;
    const std::string archive = WriteClaimArchive(tree);
    const std::string claimDir = tree.MakeDir("claim");
    ZipReader reader(archive);
    reader.SetBaseFolder(claimDir);
    const auto indexOf = [&reader](const std::string& name) {
        for (std::size_t i = 0; i < reader.Entries().size(); ++i) {
            if (reader.Entries()[i].name == name) {
                return i;
            }
        }
        ADD_FAILURE() << name << " is not in the archive";
        return std::size_t { 0 };
    };

    EXPECT_EQ(reader.ExtractAs(indexOf("2024/C0001/photos/p1.jpg"), "p1 (2).jpg").extracted, 1);
    EXPECT_EQ(ListTree(claimDir), std::vector<std::string> { "p1 (2).jpg" });
    EXPECT_EQ(ReadFile(claimDir + "/p1 (2).jpg"), "jpeg bytes");

    // The name given must be a bare file name: it cannot lead anywhere else either.
    RecordedFailures recorded;
    reader.SetFailureHandler(recorded.Handler());
    for (const char* name : { "../p1.jpg", "photos/p1.jpg", "..", "." }) {
        SCOPED_TRACE(name);
        const zip::ExtractResult result = reader.ExtractAs(indexOf("2024/C0001/photos/p1.jpg"), name);
        EXPECT_EQ(result.extracted, 0);
        EXPECT_EQ(result.failed, 1);
    }
    ASSERT_EQ(recorded.failures.size(), 4u);
    for (const Failure& failure : recorded.failures) {
        EXPECT_EQ(failure.code, zip::UnsafeName) << failure.message;
    }
    EXPECT_EQ(ListTree(tree.Path("claim")), std::vector<std::string> { "p1 (2).jpg" });
    EXPECT_FALSE(fs::exists(tree.Path("p1.jpg")));
}

TEST(ZipReader, ReplacesExistingFilesAndNeverFollowsLinks)
{
    TempTree tree;
    const std::string archive = WriteClaimArchive(tree);
    const std::string claimDir = tree.MakeDir("claim");
    SetMode(tree.Write("claim/notes.txt", "older notes, read-only"), 0444);
    const std::string outside = tree.Write("outside.jpg", "must stay");
    fs::create_symlink(outside, claimDir + "/p1.jpg");

    ZipReader reader(archive);
    reader.SetRecreateFolders(false);
    reader.SetBaseFolder(claimDir);
    EXPECT_EQ(reader.Extract("2024/C0001/*.*").extracted, 5);

    EXPECT_EQ(ReadFile(claimDir + "/notes.txt"), "notes");
    EXPECT_FALSE(fs::is_symlink(claimDir + "/p1.jpg"));
    EXPECT_EQ(ReadFile(claimDir + "/p1.jpg"), "jpeg bytes");
    EXPECT_EQ(ReadFile(outside), "must stay");
}

TEST(ZipReader, DamagedMembersReportCodeFour)
{
    TempTree tree;
    const std::string archive = tree.Path("damaged.zip");
    MakeArchive(archive, json::Value::parse(R"([
        {"name":"first.txt","data":"first"},
        {"name":"crc.txt","data":"0123456789abcdefghij","flip":true},
        {"name":"deflated.txt","data":"the quick brown fox jumps over the lazy dog, again and again","method":"deflated","flip":true},
        {"name":"IMAGE.MB","data":"bzip2 is no method of ours","method":"bzip2"},
        {"name":"last.txt","data":"last"}])"));
    const std::string out = tree.MakeDir("out");

    RecordedFailures skip;
    ZipReader reader(archive);
    reader.SetBaseFolder(out);
    reader.SetFailureHandler(skip.Handler());
    const zip::ExtractResult result = reader.Extract("*.*");
    EXPECT_EQ(result.extracted, 2);
    EXPECT_EQ(result.failed, 3);
    EXPECT_FALSE(result.aborted);
    ASSERT_EQ(skip.failures.size(), 3u);
    EXPECT_EQ(skip.failures[0].name, "crc.txt");
    EXPECT_EQ(skip.failures[1].name, "deflated.txt");
    EXPECT_EQ(skip.failures[2].name, "IMAGE.MB");
    for (const Failure& failure : skip.failures) {
        EXPECT_EQ(failure.code, zip::BadMember) << failure.name << ": " << failure.message;
        EXPECT_EQ(failure.operation, Operation::Extract);
        EXPECT_NE(failure.message.find(archive), std::string::npos) << failure.message;
    }
    EXPECT_EQ(ListTree(out), (std::vector<std::string> { "first.txt", "last.txt" })); // nothing half-written

    // Abort stops quietly after the first damaged member.
    const std::string out2 = tree.MakeDir("out2");
    RecordedFailures abort;
    abort.action = FailureAction::Abort;
    reader.SetBaseFolder(out2);
    reader.SetFailureHandler(abort.Handler());
    const zip::ExtractResult aborted = reader.Extract("*.*");
    EXPECT_TRUE(aborted.aborted);
    EXPECT_EQ(abort.failures.size(), 1u);
    EXPECT_EQ(ListTree(out2), std::vector<std::string> { "first.txt" });

    // Without a handler the damage is an error naming the member.
    ZipReader plain(archive);
    plain.SetBaseFolder(tree.MakeDir("out3"));
    try {
        plain.Extract("crc.*");
        ADD_FAILURE() << "no error for a bad checksum";
    } catch (const ArchiveError& error) {
        EXPECT_NE(std::string(error.what()).find("crc.txt"), std::string::npos) << error.what();
    }
}

TEST(ZipReader, RefusesNamesThatLeaveTheBaseFolder)
{
    TempTree tree;
    const std::string archive = tree.Path("hostile.zip");
    const std::string absolute = tree.Path("abs.txt");
    MakeArchive(archive, json::Value::parse(R"([
        {"name":"../evil.txt","data":"x"},
        {"name":")" + absolute + R"(","data":"x"},
        {"name":"C:/drive.txt","data":"x"},
        {"name":"a/../../up.txt","data":"x"},
        {"name":"..\\win.txt","data":"x"},
        {"name":"ok/fine.txt","data":"fine"}])"));

    for (const bool recreate : { true, false }) {
        const std::string base = tree.MakeDir(recreate ? "deep/base1" : "deep/base2");
        RecordedFailures recorded;
        ZipReader reader(archive);
        reader.SetBaseFolder(base);
        reader.SetRecreateFolders(recreate);
        reader.SetFailureHandler(recorded.Handler());
        const zip::ExtractResult result = reader.Extract("*.*");
        EXPECT_EQ(result.extracted, 1);
        ASSERT_EQ(recorded.failures.size(), 5u);
        for (const Failure& failure : recorded.failures) {
            EXPECT_EQ(failure.code, zip::UnsafeName) << failure.name;
        }
        const std::vector<std::string> expected
            = recreate ? std::vector<std::string> { "ok/", "ok/fine.txt" } : std::vector<std::string> { "fine.txt" };
        EXPECT_EQ(ListTree(base), expected);
    }
    EXPECT_EQ(ListTree(tree.Path("deep")),
              (std::vector<std::string> { "base1/", "base1/ok/", "base1/ok/fine.txt", "base2/", "base2/fine.txt" }));
    EXPECT_FALSE(fs::exists(absolute));
    EXPECT_FALSE(fs::exists(tree.Path("evil.txt")));
}

TEST(ZipReader, StopsAMemberThatInflatesBeyondItsStoredSize)
{
    TempTree tree;
    const std::string archive = tree.Path("bomb.zip");
    // Eight megabytes of zeros that claim to unpack to one kilobyte.
    MakeArchive(
        archive,
        json::Value::parse(R"([{"name":"bomb.txt","method":"deflated","declare":1024,"data":"0","repeat":8388608}])"));
    ZipReader reader(archive);
    ASSERT_EQ(reader.Entries().size(), 1u);
    EXPECT_EQ(reader.Entries()[0].size, 1024u);
    RecordedFailures recorded;
    reader.SetBaseFolder(tree.MakeDir("out"));
    reader.SetFailureHandler(recorded.Handler());
    EXPECT_EQ(reader.Extract("*.*").extracted, 0);
    ASSERT_EQ(recorded.failures.size(), 1u);
    EXPECT_EQ(recorded.failures[0].code, zip::BadMember);
    EXPECT_NE(recorded.failures[0].message.find("larger than its stored size"), std::string::npos)
        << recorded.failures[0].message;
    EXPECT_TRUE(ListTree(tree.Path("out")).empty());
}

TEST(ZipReader, OpenErrorsNameTheFile)
{
    TempTree tree;
    const std::string missing = tree.Path("missing.kvz");
    const std::string junk = tree.Write("junk.kvz", "Error Code : 500\r\nInternal Server Error");
    try {
        ZipReader reader(missing);
        ADD_FAILURE() << "a missing archive opened";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
    }
    try {
        ZipReader reader(junk);
        ADD_FAILURE() << "a text file opened as an archive";
    } catch (const ArchiveError& error) {
        EXPECT_NE(std::string(error.what()).find(junk), std::string::npos) << error.what();
    }
    ZipWriter writer(tree.Path("ok.zip"));
    writer.AddFile(junk, "junk.kvz");
    writer.Close();
    ZipReader reader(tree.Path("ok.zip"));
    reader.SetBaseFolder(tree.Path("no-such-folder"));
    EXPECT_THROW(reader.Extract("*.*"), FileError);
}
