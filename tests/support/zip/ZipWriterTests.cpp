#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "support/Errors.h"
#include "support/text/StringUtil.h"
#include "support/zip/ZipWriter.h"

#include <cstdint>
#include <filesystem>

using namespace wh;
using namespace wh::test;
using wh::zip::Failure;
using wh::zip::FailureAction;
using wh::zip::Operation;
using wh::zip::ZipWriter;

namespace {

std::string TextBytes(std::size_t size)
{
    std::string text;
    for (int line = 0; text.size() < size; ++line) {
        text += "Line " + std::to_string(line) + " of the adjuster's notes: roof damage, north slope.\r\n";
    }
    text.resize(size);
    return text;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed)
{
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        c = static_cast<char>(seed & 0xFF);
    }
    return bytes;
}

// The claim archive filter: lock and log files stay out.
bool KeepFile(const std::string& name)
{
    const std::string upper = text::UpperCase(name);
    const auto endsWith = [&](const std::string& tail) { return upper.ends_with(tail); };
    return upper.find("LOCKOUT.TXT") == std::string::npos && upper.find("ERRORLOG.TXT") == std::string::npos
        && !endsWith(".LCK") && !endsWith(".NET");
}

} // namespace

TEST(ZipWriter, ClaimArchiveLayoutAsAnIndependentReaderSeesIt)
{
    TempTree tree;
    const std::string notes = TextBytes(300000);
    const std::string photo = RandomBytes(150000, 7);
    tree.Write("claims/2024/C0001/Claims.DB", TextBytes(4096));
    tree.Write("claims/2024/C0001/notes.txt", notes);
    tree.Write("claims/2024/C0001/LockOut.txt", "locked");
    tree.Write("claims/2024/C0001/PDOXUSRS.NET", "net");
    tree.Write("claims/2024/C0001/PARADOX.LCK", "lck");
    tree.Write("claims/2024/C0001/ERRORLOG.TXT", "log");
    tree.Write("claims/2024/C0001/.hidden", "hidden");
    tree.Write("claims/2024/C0001/empty.txt", "");
    SetMode(tree.Write("claims/2024/C0001/readonly.txt", "read only"), 0444);
    tree.Write("claims/2024/C0001/photos/p1.jpg", photo);
    tree.Write("claims/2024/C0002/other.txt", "another claim");
    tree.Write("temparcs/ARCS.DB", TextBytes(2048));
    tree.Write("temparcs/ARCS.PX", "px");
    tree.Write("temparcs/arcs.mb", "mb");
    tree.Write("temparcs/Arcs2.DB", "not the family");
    tree.MakeDir("upload");
    const std::string archive = tree.Path("upload/57.KVZ");

    std::vector<std::pair<std::string, Operation>> asked;
    ZipWriter writer(archive);
    writer.SetConfirmHandler([&](const std::string& name, Operation operation) {
        asked.emplace_back(name, operation);
        return KeepFile(name);
    });
    EXPECT_EQ(writer.AddFiles(tree.Path("claims"), "2024\\C0001\\*.*", true), 6);
    EXPECT_EQ(writer.AddFiles(tree.Path("temparcs"), "ARCS.*", false), 3);
    writer.Close();

    const json::Value inspected = InspectArchive(archive);
    const std::vector<std::string> expected = {
        "2024/C0001/.hidden",
        "2024/C0001/Claims.DB",
        "2024/C0001/empty.txt",
        "2024/C0001/notes.txt",
        "2024/C0001/readonly.txt",
        "2024/C0001/photos/p1.jpg",
        "ARCS.DB",
        "arcs.mb",
        "ARCS.PX",
    };
    EXPECT_EQ(MemberNames(inspected), expected);
    EXPECT_EQ(asked.size(), 13u); // every file offered once, the filtered ones included
    for (const auto& [name, operation] : asked) {
        EXPECT_EQ(operation, Operation::Add) << name;
    }
    EXPECT_TRUE(inspected["bad"].is_null()); // every CRC checks out
    EXPECT_FALSE(inspected["zip64"].get<bool>());
    EXPECT_EQ(inspected["comment"], "");
    for (const auto& member : inspected["members"]) {
        const std::string name = member["name"];
        EXPECT_EQ(member["comment"], "") << name;
        EXPECT_EQ(member["extra"], "") << name << ": no ZIP64 or other extra fields";
        EXPECT_EQ(member["flags"].get<int>() & 0x09, 0) << name << ": neither encrypted nor with a data descriptor";
        EXPECT_EQ(member["system"], 3) << name;
        if (member["size"].get<int>() > 0) {
            EXPECT_EQ(member["method"], 8) << name << " is deflated";
            EXPECT_EQ(member["flags"].get<int>() & 0x06, 0x04) << name << ": deflate's fast level";
        }
    }
    const auto& readOnly = inspected["members"][4];
    EXPECT_EQ(readOnly["attr"].get<std::uint32_t>() >> 16, 0100444u);
    EXPECT_EQ(readOnly["attr"].get<std::uint32_t>() & 0x01, 1u); // DOS read-only bit

    // Info-ZIP agrees: the archive tests clean and gives the bytes back.
    std::string listing;
    ASSERT_EQ(RunCommand({ "unzip", "-Z", "-v", archive }, &listing), 0);
    EXPECT_NE(listing.find("compression method:                             deflated"), std::string::npos);
    EXPECT_EQ(listing.find("Zip64"), std::string::npos);
    ASSERT_EQ(RunCommand({ "unzip", "-tq", archive }), 0);
    std::string unpacked;
    ASSERT_EQ(RunCommand({ "unzip", "-p", archive, "2024/C0001/notes.txt" }, &unpacked), 0);
    EXPECT_EQ(unpacked, notes);
    ASSERT_EQ(RunCommand({ "unzip", "-p", archive, "2024/C0001/photos/p1.jpg" }, &unpacked), 0);
    EXPECT_EQ(unpacked, photo);
}

TEST(ZipWriter, ReplacesAnEarlierArchiveAndWritesCommentsOnlyWhereAsked)
{
    TempTree tree;
    const std::string archive = tree.Path("out.zip");
    {
        ZipWriter old(archive);
        old.AddFile(tree.Write("old.txt", "old"), "old.txt");
        old.Close();
    }
    ZipWriter writer(archive);
    writer.SetComment("Korvan Date WareHouse");
    writer.AddFile(tree.Write("db/rpttmpgr.DB", "a"), "rpttmpgr.DB");
    writer.AddFile(tree.Write("db/rpttmpgr.PX", "b"), "rpttmpgr.PX");
    writer.AddFile(tree.Write("db/notes.txt", "c"), "notes.txt", "own comment");
    writer.SetMemberComment("RPTTMPGR.*", "Korvan Templates WareHouse");
    EXPECT_THROW(writer.SetMemberComment("rpttmpl2.*", "x"), ArchiveError);
    writer.Close();

    const json::Value inspected = InspectArchive(archive);
    EXPECT_EQ(MemberNames(inspected), (std::vector<std::string> { "rpttmpgr.DB", "rpttmpgr.PX", "notes.txt" }));
    EXPECT_EQ(inspected["comment"], "Korvan Date WareHouse");
    EXPECT_EQ(inspected["members"][0]["comment"], "Korvan Templates WareHouse");
    EXPECT_EQ(inspected["members"][1]["comment"], "Korvan Templates WareHouse");
    EXPECT_EQ(inspected["members"][2]["comment"], "own comment");
}

TEST(ZipWriter, AnArchiveWithoutMembersIsStillWritten)
{
    TempTree tree;
    const std::string archive = tree.Write("out.zip", "an earlier file");
    tree.Write("src/LockOut.txt", "x");
    ZipWriter writer(archive);
    writer.SetConfirmHandler([](const std::string& name, Operation) { return KeepFile(name); });
    writer.SetComment("note");
    EXPECT_EQ(writer.AddFiles(tree.Path("src"), "*.*", true), 0);
    EXPECT_EQ(writer.AddFiles(tree.Path("missing"), "*.*", true), 0);
    writer.Close();

    const json::Value inspected = InspectArchive(archive);
    EXPECT_TRUE(inspected["members"].empty());
    EXPECT_EQ(inspected["comment"], "note");
}

TEST(ZipWriter, FailuresGoToTheFailureHandler)
{
    TempTree tree;
    const std::string good = tree.Write("good.txt", "good");
    tree.MakeDir("folder");
    std::vector<Failure> failures;
    ZipWriter writer(tree.Path("out.zip"));
    writer.SetFailureHandler([&](const Failure& failure) {
        failures.push_back(failure);
        return FailureAction::Skip;
    });
    EXPECT_TRUE(writer.AddFile(good, "good.txt"));
    EXPECT_FALSE(writer.AddFile(tree.Path("missing.txt"), "missing.txt"));
    EXPECT_FALSE(writer.AddFile(tree.Path("folder"), "folder"));
    EXPECT_FALSE(writer.AddFile(good, "good.txt"));
    for (const char* unsafe : { "../up.txt", "/abs.txt", "C:\\drive.txt", "a/../../up.txt", "" }) {
        EXPECT_FALSE(writer.AddFile(good, unsafe)) << unsafe;
    }
    EXPECT_TRUE(writer.AddFile(good, "sub\\copy.txt"));
    writer.Close();

    ASSERT_EQ(failures.size(), 8u);
    EXPECT_EQ(failures[0].code, zip::ReadFailed);
    EXPECT_EQ(failures[0].name, "missing.txt");
    EXPECT_NE(failures[0].message.find(tree.Path("missing.txt")), std::string::npos);
    EXPECT_EQ(failures[1].code, zip::ReadFailed);
    EXPECT_EQ(failures[2].code, zip::DuplicateName);
    for (std::size_t i = 3; i < failures.size(); ++i) {
        EXPECT_EQ(failures[i].code, zip::UnsafeName) << failures[i].name;
        EXPECT_EQ(failures[i].operation, Operation::Add);
    }
    EXPECT_EQ(MemberNames(InspectArchive(tree.Path("out.zip"))),
              (std::vector<std::string> { "good.txt", "sub/copy.txt" }));
}

TEST(ZipWriter, AbortedOrFailedBuildsLeaveTheEarlierArchive)
{
    TempTree tree;
    const std::string archive = tree.Path("out.zip");
    {
        ZipWriter old(archive);
        old.AddFile(tree.Write("old.txt", "old"), "old.txt");
        old.Close();
    }
    const auto expectOldArchive
        = [&] { EXPECT_EQ(MemberNames(InspectArchive(archive)), std::vector<std::string> { "old.txt" }); };

    { // no failure handler: the first failure is an error that names the file
        ZipWriter writer(archive);
        writer.AddFile(tree.Write("a.txt", "a"), "a.txt");
        try {
            writer.AddFile(tree.Path("missing.txt"), "missing.txt");
            ADD_FAILURE() << "no error for a missing file";
        } catch (const ArchiveError& error) {
            EXPECT_NE(std::string(error.what()).find(tree.Path("missing.txt")), std::string::npos) << error.what();
        }
    }
    expectOldArchive();

    { // the handler aborts
        ZipWriter writer(archive);
        writer.SetFailureHandler([](const Failure&) { return FailureAction::Abort; });
        EXPECT_THROW(writer.AddFile(tree.Path("missing.txt"), "missing.txt"), ArchiveError);
    }
    expectOldArchive();

    { // a file that disappears before the archive is written
        ZipWriter writer(archive);
        writer.AddFile(tree.Write("a.txt", "a"), "a.txt");
        writer.AddFile(tree.Write("gone.txt", "soon gone"), "gone.txt");
        std::filesystem::remove(tree.Path("gone.txt"));
        try {
            writer.Close();
            ADD_FAILURE() << "no error for a vanished file";
        } catch (const ArchiveError& error) {
            EXPECT_NE(std::string(error.what()).find(tree.Path("gone.txt")), std::string::npos) << error.what();
        }
    }
    expectOldArchive();
    EXPECT_EQ(ListTree(tree.Root()), (std::vector<std::string> { "a.txt", "old.txt", "out.zip" }));
}

TEST(ZipWriter, FolderWalkTakesLinkedFilesButNotLinkedFolders)
{
    TempTree tree;
    tree.Write("claim/notes.txt", "notes");
    tree.Write("elsewhere/secret.txt", "not part of the claim");
    std::filesystem::create_symlink(tree.Path("elsewhere"), tree.Path("claim/linked-folder"));
    std::filesystem::create_symlink(tree.Path("claim/notes.txt"), tree.Path("claim/linked-notes.txt"));
    tree.MakeDir("claim/sub");
    std::filesystem::create_symlink(tree.Path("claim"), tree.Path("claim/sub/loop"));
    ZipWriter writer(tree.Path("out.zip"));
    EXPECT_EQ(writer.AddFiles(tree.Root(), "claim/*.*", true), 2);
    writer.Close();

    const json::Value inspected = InspectArchive(tree.Path("out.zip"));
    EXPECT_EQ(MemberNames(inspected), (std::vector<std::string> { "claim/linked-notes.txt", "claim/notes.txt" }));
    EXPECT_EQ(inspected["members"][0]["size"], 5);
}
