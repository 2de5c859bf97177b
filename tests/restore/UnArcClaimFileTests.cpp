// Restoring downloaded claim archives into a claims directory built by the fixture builder; the
// archives are made by the upload's own archive builder (or the ZIP engine, for members the
// builder never writes) and then damaged where a case needs it.
#include <gtest/gtest.h>
#include <zip.h>

#include "ClaimsFixture.h"
#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "env/WarehouseFuncs.h"
#include "restore/UnArc_Claim_File.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/Clock.h"
#include "support/zip/ZipTestSupport.h"
#include "support/zip/ZipWriter.h"
#include "upload/UploadClaim.h"
#include "upload/WarehouseBuildClaim.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

using namespace wh;
using paradox::OpenMode;
using paradox::Table;
using test::ListTree;
using test::ReadFile;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kServerId = 5001;
const text::DateTime kNow = text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 });

// What the source workstation's claim folder 2024/C0001 holds when it is packed.
struct SourceClaim
{
    bool autoincs = true;
    bool imageTables = false;
    std::map<std::string, std::string> files = { { "notes.txt", "Inspection notes.\r\n" + std::string(3000, 'n') } };
    // Turns the folder's Claims.DB into a table the engine refuses to write.
    bool unwritableClaimsCopy = false;
};

// A maintained composite index over an alpha field, which the engine cannot keep current: every
// write to the table is refused.
void AddUnkeepableIndex(const test::TempTree& tree, const std::string& folder, const std::string& table)
{
    paradox::SecondaryIndexDef def;
    def.fields = { 9 }; // ClaimNumber
    def.composite = true;
    def.name = "ByNumber";
    def.maintained = false;
    const std::string file = Table::AddSecondaryIndex(folder, table, def);
    const std::string path = platform::JoinPath(folder, file);
    std::string bytes = ReadFile(path);
    bytes.at(4) = '\x08'; // the original engine's maintained composite index
    tree.Write(fs::relative(path, tree.Root()).string(), bytes);
}

// Flips one byte in the middle of a member's stored data, so its checksum no longer matches.
void DamageMember(const std::string& archive, const std::string& member)
{
    std::string bytes = ReadFile(archive);
    const auto u16 = [&bytes](std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at]))
            | static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    for (std::size_t at = bytes.find("PK\x03\x04"); at != std::string::npos; at = bytes.find("PK\x03\x04", at + 4)) {
        const std::size_t nameLength = u16(at + 26);
        if (bytes.compare(at + 30, nameLength, member) != 0) {
            continue;
        }
        const std::size_t compressed = u16(at + 18) | u16(at + 20) << 16;
        ASSERT_GT(compressed, 2u) << member;
        bytes[at + 30 + nameLength + u16(at + 28) + compressed / 2] ^= 0x55;
        std::ofstream(archive, std::ios::binary | std::ios::trunc) << bytes;
        return;
    }
    FAIL() << member << " is not in " << archive;
}

struct RawMember
{
    std::string name;
    std::string bytes;
    std::uint32_t unixMode = 0100644;
};

// Writes members under exactly the names given, which our own writer would refuse.
void WriteRawArchive(const std::string& path, const std::vector<RawMember>& members)
{
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr) << path;
    for (const RawMember& member : members) {
        zip_source_t* source = zip_source_buffer(archive, member.bytes.data(), member.bytes.size(), 0);
        const zip_int64_t index = zip_file_add(archive, member.name.c_str(), source, ZIP_FL_ENC_RAW);
        ASSERT_GE(index, 0) << member.name;
        zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                         member.unixMode << 16);
    }
    ASSERT_EQ(zip_close(archive), 0) << path;
}

struct ClaimRow
{
    std::int64_t claimId = 0;
    std::string text; // every field, as text
};

class RestoreClaimArchiveTest : public ::testing::Test
{
protected:
    RestoreClaimArchiveTest()
        : programEnv("WHUPLOAD_PROGRAM_DIR", tree.Path("root/Program"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
        , layout(fixtures::BuildClaimsDirectory({ .root = tree.Path("root"), .claims = 3, .filesPerClaim = 2 }))
        , claimsDir(layout.claimsDir)
        , privateDir(tree.MakeDir("tmp/Warehouse"))
        , env(notice, clock, [] {})
    {
        env.PrepareLocalFolders();
        SetCounter(417);
    }

    std::string C(const std::string& relative) const { return platform::JoinPath(claimsDir, relative); }
    std::string Download() const { return C("Warehouse/Downloads/" + std::to_string(kServerId) + ".kvz"); }

    void SetCounter(int value)
    {
        Table counter(claimsDir, "AUTOINCS.DB");
        counter.Open(OpenMode::Exclusive);
        counter.Edit();
        counter.FieldAt(1).SetInteger(value);
        counter.Post();
    }
    std::int64_t Counter()
    {
        Table counter(claimsDir, "AUTOINCS.DB");
        counter.Open(OpenMode::Shared);
        return counter.FieldAt(1).AsInteger();
    }

    // The source claim's folder 2024/C0001 and its record in the tool's ARCS table, as an upload
    // leaves them just before packing.
    void MakeSourceFolder(const SourceClaim& source)
    {
        const std::string folder = tree.MakeDir("root/Claims/2024/C0001");
        Table::Create(folder, "Claims.DB", fixtures::ClaimsFields(), 1);
        {
            Table own(folder, "Claims.DB");
            own.Open(OpenMode::Exclusive);
            own.Append();
            fixtures::FillClaimRecord(own, 7, "2024", "C0001", true);
            own.FieldByName("SrvClaimID").SetInteger(kServerId);
            own.FieldByName("CLVersion").SetInteger(3);
            own.FieldByName("BoxID").SetInteger(9);
            own.FieldByName("DB_Version").SetInteger(4);
            int uid = 11;
            for (const char* name : { "CompanyUID", "RegionUID", "OfficeUID", "DepartmentUID", "EmployeeUID" }) {
                own.FieldByName(name).SetInteger(uid++);
            }
            own.Post();

            Table::EmptyTable(env.TempArcsDir(), "Arcs.DB");
            Table arcs(env.TempArcsDir(), "Arcs.DB");
            arcs.Open(OpenMode::Shared);
            arcs.Append();
            upload::CopyRecordFields(own, arcs);
            arcs.Post();
        }
        if (source.unwritableClaimsCopy) {
            AddUnkeepableIndex(tree, folder, "Claims.DB");
        }
        if (source.autoincs) {
            Table::Create(folder, "autoincs.db", fixtures::AutoIncsFields());
        }
        if (source.imageTables) {
            Table::Create(folder, "image.db", fixtures::ImageFields(), 1);
            Table image(folder, "image.db");
            image.Open(OpenMode::Exclusive);
            image.Append();
            image.FieldByName("ImageNo").SetInteger(1);
            image.FieldByName("Caption").SetText("Front elevation, as received from the server");
            image.FieldByName("Thumb").SetBytes(fixtures::DocumentBytes(3000, 3));
            image.Post();
        }
        for (const auto& [name, bytes] : source.files) {
            tree.Write("root/Claims/2024/C0001/" + name, bytes);
        }
    }

    // Packs the source claim with the upload's builder and puts the archive where a download
    // leaves it; the source folder goes, as it lives on another workstation.
    void MakeDownload(const SourceClaim& source = {})
    {
        MakeSourceFolder(source);
        ::testing::internal::CaptureStdout();
        BuildClaimArchive(env, "2024", "C0001", kServerId, source.imageTables);
        ASSERT_EQ(::testing::internal::GetCapturedStdout(), "");
        fs::rename(ClaimArchivePath(env, kServerId), Download());
        fs::remove_all(C("2024/C0001"));
    }

    // The same layout written by the ZIP engine without the builder's filter, for the lock and
    // log files a builder never packs.
    void MakeUnfilteredDownload(const SourceClaim& source)
    {
        MakeSourceFolder(source);
        zip::ZipWriter writer(Download());
        writer.AddFiles(claimsDir, "2024/C0001/*.*", true);
        writer.AddFiles(env.TempArcsDir(), "ARCS.*", false);
        writer.Close();
        fs::remove_all(C("2024/C0001"));
    }

    void Restore(int state, bool treatAsNew, std::int64_t localClaimID)
    {
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        restore::RestoreClaimArchive(env, privateDir, claims, Download(), state, treatAsNew, localClaimID);
        // The caller's own handle shows every record the restore wrote through its second one.
        std::vector<std::int64_t> seen;
        for (claims.First(); !claims.Eof(); claims.Next()) {
            seen.push_back(claims.FieldByName("ClaimID").AsInteger());
        }
        std::vector<std::int64_t> onDisk;
        for (const ClaimRow& row : Rows()) {
            onDisk.push_back(row.claimId);
        }
        EXPECT_EQ(seen, onDisk);
    }
    void RestoreAsNew() { Restore(restore::kRestoreNotOnThisSystem, true, 0); }

    std::vector<ClaimRow> Rows()
    {
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        std::vector<ClaimRow> rows;
        for (claims.First(); !claims.Eof(); claims.Next()) {
            ClaimRow row { claims.FieldByName("ClaimID").AsInteger(), {} };
            for (int i = 0; i < claims.FieldCount(); ++i) {
                row.text += claims.FieldAt(i).AsText() + "|";
            }
            rows.push_back(row);
        }
        return rows;
    }

    // Every name in the claims directory except the download itself and the staging folders.
    std::vector<std::string> ClaimsTree()
    {
        std::vector<std::string> names = ListTree(claimsDir);
        std::erase_if(names, [](const std::string& name) { return name.rfind("Warehouse/", 0) == 0; });
        return names;
    }

    std::vector<std::string> Messages() const
    {
        std::vector<std::string> texts;
        for (const auto& message : notice.messages) {
            EXPECT_EQ(message.kind, MessageKind::Error) << message.text;
            texts.push_back(message.text);
        }
        return texts;
    }

    std::vector<std::string> Deldir()
    {
        std::vector<std::string> folders;
        if (!Table::Exists(claimsDir, "deldir.db")) {
            return folders;
        }
        Table deldir(claimsDir, "deldir.db");
        deldir.Open(OpenMode::Shared);
        for (deldir.First(); !deldir.Eof(); deldir.Next()) {
            folders.push_back(deldir.FieldByName("Directory").AsText());
        }
        return folders;
    }

    std::vector<std::string> ArcsInPrivateDir() const
    {
        std::vector<std::string> names = ListTree(privateDir);
        std::erase_if(names, [](const std::string& name) {
            return name.find("arcs") == std::string::npos && name.find("ARCS") == std::string::npos;
        });
        return names;
    }

    // The source claim as raw members: its folder's tables under claimDir/C0001 (the record of
    // the ARCS table names that claim directory) and the ARCS table at the root.
    struct RawClaim
    {
        std::vector<RawMember> files;
        std::vector<RawMember> arcs;
    };
    RawClaim MakeRawClaim(const std::string& claimDir = "2024")
    {
        MakeSourceFolder({});
        {
            Table arcs(env.TempArcsDir(), "Arcs.DB");
            arcs.Open(OpenMode::Shared);
            arcs.Edit();
            arcs.FieldByName("claimdir").SetText(claimDir);
            arcs.Post();
        }
        RawClaim claim;
        for (const char* name : { "autoincs.db", "Claims.DB", "Claims.PX", "Claims.MB" }) {
            claim.files.push_back({ claimDir + "/C0001/" + name, ReadFile(C("2024/C0001/") + name) });
        }
        for (const char* name : { "ARCS.DB", "ARCS.MB" }) {
            claim.arcs.push_back({ name, ReadFile(env.TempArcsDir() + "/" + name) });
        }
        fs::remove_all(C("2024/C0001"));
        return claim;
    }

    // A local claim 12 in 2023/777.kvx with its own image tables and a document.
    void AddLocalClaim12()
    {
        const std::string folder = tree.MakeDir("root/Claims/2023/777.kvx");
        Table::Create(folder, "image.db", fixtures::ImageFields(), 1);
        Table image(folder, "image.db");
        image.Open(OpenMode::Exclusive);
        image.Append();
        image.FieldByName("ImageNo").SetInteger(4);
        image.FieldByName("Thumb").SetBytes(fixtures::DocumentBytes(2500, 12));
        image.Post();
        image.Close();
        tree.Write("root/Claims/2023/777.kvx/old.txt", "old version");
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Exclusive);
        claims.Append();
        fixtures::FillClaimRecord(claims, 12, "2023", "777.kvx", true);
        claims.FieldByName("BoxID").SetInteger(5);
        claims.Post();
    }

    // The one new record; fails the test when there is not exactly one.
    Table* OpenRecord(Table& claims, std::int64_t claimId)
    {
        claims.Open(OpenMode::Shared);
        EXPECT_TRUE(claims.FindKey(claimId)) << "no record " << claimId;
        return claims.FindKey(claimId) ? &claims : nullptr;
    }

    test::TempTree tree;
    test::ScopedEnv programEnv;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    fixtures::ClaimsDirLayout layout;
    std::string claimsDir;
    std::string privateDir;
    test::RecordingUserNotice notice;
    text::FixedClock clock { kNow };
    env::WarehouseEnv env;
};

// A new claim folder's name: a number of one to five digits, then ".kvx".
bool IsNewFolderName(const std::string& name)
{
    const std::size_t digits = name.size() - std::min<std::size_t>(name.size(), 4);
    return name.size() > 4 && name.compare(digits, 4, ".kvx") == 0 && digits >= 1 && digits <= 5
        && std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(digits),
                       [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

TEST_F(RestoreClaimArchiveTest, NewClaimGoesToTheInboxWithoutServerIdentityAndWithBlankImageTables)
{
    MakeDownload();
    const std::vector<ClaimRow> before = Rows();

    RestoreAsNew();

    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(Counter(), 418);
    const std::vector<ClaimRow> after = Rows();
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin(),
                           [](const ClaimRow& a, const ClaimRow& b) { return a.text == b.text; }));

    Table claims(claimsDir, "Claims.DB");
    ASSERT_NE(OpenRecord(claims, 418), nullptr);
    const std::string name = claims.FieldByName("ClaimSubDir").AsText();
    EXPECT_TRUE(IsNewFolderName(name)) << name;
    EXPECT_EQ(claims.FieldByName("BoxID").AsInteger(), -200);
    EXPECT_EQ(claims.FieldByName("ClaimDir").AsText(), "inbox");
    EXPECT_EQ(claims.FieldByName("DB_Version").AsInteger(), 0);
    EXPECT_EQ(claims.FieldByName("SrvClaimID").AsInteger(), 0);
    EXPECT_EQ(claims.FieldByName("CLVersion").AsInteger(), 1);
    EXPECT_EQ(claims.FieldByName("CLVerDate").AsDateTime(), kNow);
    for (const char* uid : { "CompanyUID", "RegionUID", "OfficeUID", "DepartmentUID", "EmployeeUID" }) {
        EXPECT_EQ(claims.FieldByName(uid).AsInteger(), 0) << uid;
    }
    // Everything else comes from the archive's record, memo included.
    EXPECT_EQ(claims.FieldByName("ClaimNumber").AsText(), "CLM-00007");
    EXPECT_EQ(claims.FieldByName("PolicyNumber").AsText(), "POL-00007");
    EXPECT_EQ(claims.FieldByName("Remarks").AsText(),
              "Inspection done.\r\nRoof and interior water damage, see photos 00007.");

    const std::string folder = C("inbox/" + name);
    std::vector<std::string> expected = { "Claims.DB", "Claims.MB", "Claims.PX", "autoincs.db", "notes.txt" };
    for (const std::string& blank : ListTree(C("Empty"))) {
        expected.push_back(blank);
        EXPECT_EQ(ReadFile(folder + "/" + blank), ReadFile(C("Empty/" + blank))) << blank;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListTree(folder), expected);
    EXPECT_EQ(ReadFile(folder + "/notes.txt"), "Inspection notes.\r\n" + std::string(3000, 'n'));

    // The folder's own record follows the new key and place, and keeps the archive's identity.
    Table own(folder, "Claims.db");
    own.Open(OpenMode::Shared);
    EXPECT_EQ(own.RecordCount(), 1);
    EXPECT_EQ(own.FieldByName("ClaimID").AsInteger(), 418);
    EXPECT_EQ(own.FieldByName("BoxID").AsInteger(), -200);
    EXPECT_EQ(own.FieldByName("ClaimDir").AsText(), "inbox");
    EXPECT_EQ(own.FieldByName("ClaimSubDir").AsText(), name);
    EXPECT_EQ(own.FieldByName("DB_Version").AsInteger(), 0);
    EXPECT_EQ(own.FieldByName("SrvClaimID").AsInteger(), kServerId);
    EXPECT_EQ(own.FieldByName("CLVersion").AsInteger(), 3);

    EXPECT_FALSE(fs::exists(Download()));
    EXPECT_TRUE(ArcsInPrivateDir().empty());
    EXPECT_TRUE(Deldir().empty());
}

TEST_F(RestoreClaimArchiveTest, ReplacementTakesThePlaceOfTheLocalClaim)
{
    struct Case
    {
        int state;
        bool archiveHasImages;
    };
    for (const Case c : { Case { restore::kRestoreServerNewer, false }, Case { restore::kRestoreLocalNewer, false },
                          Case { restore::kRestoreServerNewer, true } }) {
        SCOPED_TRACE("state " + std::to_string(c.state) + (c.archiveHasImages ? ", images in archive" : ""));
        AddLocalClaim12();
        const std::string oldImages = ReadFile(C("2023/777.kvx/image.mb"));
        MakeDownload({ .imageTables = c.archiveHasImages });
        const std::int64_t newId = Counter() + 1;
        const std::size_t count = Rows().size();

        Restore(c.state, false, 12);

        EXPECT_TRUE(Messages().empty());
        EXPECT_EQ(Rows().size(), count);
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        EXPECT_FALSE(claims.FindKey(12));
        ASSERT_NE(OpenRecord(claims, newId), nullptr);
        const std::string name = claims.FieldByName("ClaimSubDir").AsText();
        EXPECT_TRUE(IsNewFolderName(name)) << name;
        EXPECT_EQ(claims.FieldByName("BoxID").AsInteger(), 5);
        EXPECT_EQ(claims.FieldByName("ClaimDir").AsText(), "2023");
        EXPECT_EQ(claims.FieldByName("DB_Version").AsInteger(), 0);
        EXPECT_EQ(claims.FieldByName("SrvClaimID").AsInteger(), kServerId);
        EXPECT_EQ(claims.FieldByName("CLVersion").AsInteger(), 3);
        EXPECT_EQ(claims.FieldByName("EmployeeUID").AsInteger(), 15);
        claims.Close();

        const std::string folder = C("2023/" + name);
        EXPECT_EQ(ListTree(folder),
                  (std::vector<std::string> { "Claims.DB", "Claims.MB", "Claims.PX", "autoincs.db", "image.db",
                                              "image.mb", "image.px", "notes.txt" }));
        Table image(folder, "image.db");
        image.Open(OpenMode::Shared);
        // The archive's image tables win; without them the old folder's come over.
        EXPECT_EQ(image.FieldByName("ImageNo").AsInteger(), c.archiveHasImages ? 1 : 4);
        if (!c.archiveHasImages) {
            EXPECT_EQ(ReadFile(folder + "/image.mb"), oldImages);
        }
        EXPECT_FALSE(fs::exists(C("2023/777.kvx")));
        std::vector<std::string> claimDirEntries;
        for (const auto& entry : fs::directory_iterator(C("2023"))) {
            claimDirEntries.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(claimDirEntries, std::vector<std::string> { name });
        EXPECT_TRUE(Deldir().empty());
        EXPECT_FALSE(fs::exists(Download()));

        fs::remove_all(folder);
        notice.messages.clear();
    }
}

TEST_F(RestoreClaimArchiveTest, SubfolderMembersLandFlatAndLockAndLogFilesStayOut)
{
    SourceClaim source;
    source.files["photos/p1.jpg"] = fixtures::DocumentBytes(5000, 1);
    source.files["photos/roof/p2.jpg"] = fixtures::DocumentBytes(4000, 2);
    for (const char* left : { "LOCKOUT.TXT", "ERRORLOG.TXT", "PARADOX.LCK", "PDOXUSRS.NET", "photos/ErrorLog.txt" }) {
        source.files[left] = "lock or log";
    }
    MakeUnfilteredDownload(source);
    const std::vector<std::string> members = test::MemberNames(test::InspectArchive(Download()));
    ASSERT_NE(std::find(members.begin(), members.end(), "2024/C0001/PDOXUSRS.NET"), members.end());

    RestoreAsNew();

    EXPECT_TRUE(Messages().empty());
    Table claims(claimsDir, "Claims.DB");
    ASSERT_NE(OpenRecord(claims, 418), nullptr);
    const std::string folder = C("inbox/" + claims.FieldByName("ClaimSubDir").AsText());
    std::vector<std::string> expected
        = { "Claims.DB", "Claims.MB", "Claims.PX", "autoincs.db", "notes.txt", "p1.jpg", "p2.jpg" };
    for (const std::string& blank : ListTree(C("Empty"))) {
        expected.push_back(blank);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListTree(folder), expected);
    EXPECT_EQ(ReadFile(folder + "/p2.jpg"), fixtures::DocumentBytes(4000, 2));
}

// An archive that proves incomplete is taken back whole: no record, no folder; the claim number
// given out stays given out, and the download goes.
TEST_F(RestoreClaimArchiveTest, IncompleteArchivesAreTakenBackCompletely)
{
    struct Case
    {
        std::string what;
        SourceClaim source;
        std::string damaged; // member to damage after packing
        std::string message;
    };
    SourceClaim withoutCounter;
    withoutCounter.autoincs = false;
    SourceClaim withImages;
    withImages.imageTables = true;
    const std::vector<Case> cases = {
        { "no autoincs.db", withoutCounter, "", "CLM-00007 is missing from archive." },
        { "a corrupted document", SourceClaim {}, "2024/C0001/notes.txt", "CLM-00007 is corrupted in archive." },
        { "a corrupted image table", withImages, "2024/C0001/image.db", "CLM-00007 is corrupted in archive." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MakeDownload(c.source);
        if (!c.damaged.empty()) {
            DamageMember(Download(), c.damaged);
        }
        const std::vector<ClaimRow> rows = Rows();
        const std::vector<std::string> files = ClaimsTree();
        const std::int64_t counter = Counter();

        RestoreAsNew();

        EXPECT_EQ(Messages(), std::vector<std::string> { c.message });
        EXPECT_EQ(Counter(), counter + 1);
        const std::vector<ClaimRow> after = Rows();
        ASSERT_EQ(after.size(), rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(after[i].text, rows[i].text);
        }
        EXPECT_EQ(ClaimsTree(), files);
        EXPECT_TRUE(Deldir().empty());
        EXPECT_FALSE(fs::exists(Download()));
        EXPECT_TRUE(ArcsInPrivateDir().empty());
        notice.messages.clear();
    }
}

TEST_F(RestoreClaimArchiveTest, ADamagedImageMemoFileIsPassedOver)
{
    MakeDownload({ .imageTables = true });
    DamageMember(Download(), "2024/C0001/image.mb");

    RestoreAsNew();

    EXPECT_TRUE(Messages().empty());
    Table claims(claimsDir, "Claims.DB");
    ASSERT_NE(OpenRecord(claims, 418), nullptr);
    const std::string folder = C("inbox/" + claims.FieldByName("ClaimSubDir").AsText());
    // The archive's image table came, so no blank one is added, and its memo file stays out.
    EXPECT_EQ(ListTree(folder),
              (std::vector<std::string> { "Claims.DB", "Claims.MB", "Claims.PX", "autoincs.db", "image.db", "image.px",
                                          "notes.txt" }));
    EXPECT_FALSE(fs::exists(Download()));
}

TEST_F(RestoreClaimArchiveTest, AnOldFolderThatCannotBeRemovedIsListedInDeldir)
{
    AddLocalClaim12();
    tree.Write("root/Claims/2023/777.kvx/photos/kept.jpg", "in a subfolder");
    MakeDownload();

    Restore(restore::kRestoreServerNewer, false, 12);

    EXPECT_TRUE(Messages().empty());
    const std::string oldFolder = C("2023/777.kvx");
    EXPECT_EQ(ListTree(oldFolder), (std::vector<std::string> { "photos/", "photos/kept.jpg" }));
    EXPECT_EQ(Deldir(), std::vector<std::string> { oldFolder });
    Table claims(claimsDir, "Claims.DB");
    claims.Open(OpenMode::Shared);
    EXPECT_FALSE(claims.FindKey(12));
    EXPECT_TRUE(claims.FindKey(418));
}

// The replaced claim's folder is emptied and removed; a folder that a link leads to outside the
// claims directory is not the claim's own and is left alone, with a word to the user.
TEST_F(RestoreClaimArchiveTest, AnOldFolderLinkedOutsideTheClaimsDirectoryIsLeftAlone)
{
    AddLocalClaim12();
    const std::string outside = tree.Path("elsewhere/777");
    fs::create_directories(tree.Path("elsewhere"));
    fs::rename(C("2023/777.kvx"), outside);
    fs::create_directory_symlink(outside, C("2023/777.kvx"));
    const std::vector<std::string> outsideBefore = ListTree(outside);
    ASSERT_FALSE(outsideBefore.empty());
    MakeDownload();

    Restore(restore::kRestoreServerNewer, false, 12);

    EXPECT_EQ(ListTree(outside), outsideBefore);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_NE(Messages()[0].find("was left as it is"), std::string::npos) << Messages()[0];
    EXPECT_NE(Messages()[0].find("outside the claims directory"), std::string::npos) << Messages()[0];
    EXPECT_TRUE(Deldir().empty());
    Table claims(claimsDir, "Claims.DB");
    claims.Open(OpenMode::Shared);
    EXPECT_FALSE(claims.FindKey(12));
}

TEST_F(RestoreClaimArchiveTest, RestoringTheSameClaimTwiceGivesTwoClaims)
{
    MakeDownload();
    const std::string copy = tree.Path("copy.kvz");
    fs::copy_file(Download(), copy);
    RestoreAsNew();
    fs::copy_file(copy, Download());
    RestoreAsNew();

    EXPECT_TRUE(Messages().empty());
    Table claims(claimsDir, "Claims.DB");
    ASSERT_NE(OpenRecord(claims, 418), nullptr);
    const std::string first = claims.FieldByName("ClaimSubDir").AsText();
    ASSERT_NE(OpenRecord(claims, 419), nullptr);
    const std::string second = claims.FieldByName("ClaimSubDir").AsText();
    EXPECT_NE(first, second);
    EXPECT_EQ(claims.FieldByName("ClaimNumber").AsText(), "CLM-00007");
    for (const std::string& name : { first, second }) {
        EXPECT_TRUE(fs::exists(C("inbox/" + name + "/autoincs.db"))) << name;
    }
    EXPECT_EQ(Counter(), 419);
}

// Member names come from the server: none may write outside the new claim folder, and a stored
// link is never made a link.
TEST_F(RestoreClaimArchiveTest, HostileMemberNamesCannotLeaveTheClaimFolder)
{
    struct Case
    {
        std::string what;
        std::string claimDir; // the claim directory the archive's record names
        RawMember hostile;
        bool corrupted;
    };
    // An absolute name is only looked at when it matches the claim folder's mask, so here the
    // archive's record names an absolute claim directory and every member of the claim lies below
    // it: the claim may only come back if such names are unpacked at all.
    const std::vector<Case> cases = {
        { "a climb out of the folder", "2024", { "2024/C0001/../../../evil.txt", "x" }, true },
        { "a climb written with backslashes", "2024", { "2024\\C0001\\..\\..\\evil.txt", "x" }, true },
        { "an absolute name", "/2024", { "/2024/C0001/evil.txt", "x" }, true },
        { "a stored link", "2024", { "2024/C0001/evil.txt", tree.Path("target"), 0120777 }, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawClaim claim = MakeRawClaim(c.claimDir);
        std::vector<RawMember> members = claim.files;
        members.push_back(c.hostile);
        members.insert(members.end(), claim.arcs.begin(), claim.arcs.end());
        WriteRawArchive(Download(), members);
        const std::size_t count = Rows().size();

        RestoreAsNew();

        for (const auto& entry : fs::recursive_directory_iterator(tree.Root())) {
            EXPECT_FALSE(fs::is_symlink(entry.symlink_status())) << entry.path();
            if (entry.path().filename() == "evil.txt") {
                EXPECT_TRUE(!c.corrupted && entry.path().parent_path().parent_path() == C("inbox")) << entry.path();
            }
        }
        EXPECT_FALSE(fs::exists(tree.Path("target")));
        if (c.corrupted) {
            EXPECT_EQ(Messages(), std::vector<std::string> { "CLM-00007 is corrupted in archive." });
            EXPECT_EQ(Rows().size(), count);
        } else {
            EXPECT_EQ(Messages(), std::vector<std::string> {});
            EXPECT_EQ(Rows().size(), count + 1);
        }
        notice.messages.clear();
    }
}

// An error inside the restore takes back what it had done and says why; the download stays for
// another try.
TEST_F(RestoreClaimArchiveTest, ATableThatRefusesWritesTakesTheRestoreBack)
{
    struct Case
    {
        std::string what;
        bool claimsTableRefuses; // else the claim folder's own Claims.DB refuses
        std::int64_t counterRaise;
    };
    for (const Case& c : { Case { "the claim folder's record", false, 1 }, Case { "the claims table", true, 0 } }) {
        SCOPED_TRACE(c.what);
        MakeDownload({ .unwritableClaimsCopy = !c.claimsTableRefuses });
        const std::string kept = ReadFile(Download());
        if (c.claimsTableRefuses) {
            AddUnkeepableIndex(tree, claimsDir, "Claims.DB");
        }
        const std::vector<ClaimRow> rows = Rows();
        const std::vector<std::string> files = ClaimsTree();
        const std::int64_t counter = Counter();

        RestoreAsNew();

        ASSERT_EQ(notice.messages.size(), 1u);
        const std::string& text = notice.messages[0].text;
        EXPECT_EQ(text.rfind("Claim CLM-00007 could not be restored:\r\n", 0), 0u) << text;
        EXPECT_NE(text.find("stays for another try"), std::string::npos) << text;
        EXPECT_EQ(Counter(), counter + c.counterRaise);
        const std::vector<ClaimRow> after = Rows();
        ASSERT_EQ(after.size(), rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(after[i].text, rows[i].text);
        }
        EXPECT_EQ(ClaimsTree(), files);
        EXPECT_EQ(ReadFile(Download()), kept);
        EXPECT_TRUE(ArcsInPrivateDir().empty());
        if (c.claimsTableRefuses) {
            for (const char* index : { "Claims.XG0", "Claims.YG0" }) {
                fs::remove(platform::ResolveNoCase(claimsDir, index));
            }
        }
        fs::remove(Download());
        notice.messages.clear();
    }
}

// Archives without a whole ARCS table change nothing; one that is no archive at all is the
// caller's error.
TEST_F(RestoreClaimArchiveTest, WithoutItsClaimRecordTheArchiveChangesNothing)
{
    struct Case
    {
        std::string what;
        std::function<void()> make;
        bool throws;
    };
    const std::vector<Case> cases = {
        { "no ARCS table",
          [this] {
              MakeDownload();
              test::MakeArchive(Download(), json::Value::parse(R"([{"name":"2024/C0001/autoincs.db","data":"x"}])"));
          },
          false },
        { "a damaged ARCS table",
          [this] {
              MakeDownload();
              DamageMember(Download(), "ARCS.DB");
          },
          false },
        { "not an archive", [this] { tree.Write("root/Claims/Warehouse/Downloads/5001.kvz", "<html>busy</html>"); },
          true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        const std::string kept = ReadFile(Download());
        const std::vector<ClaimRow> rows = Rows();
        const std::vector<std::string> files = ClaimsTree();

        if (c.throws) {
            EXPECT_THROW(RestoreAsNew(), Error);
            EXPECT_TRUE(notice.messages.empty());
        } else {
            RestoreAsNew();
            EXPECT_EQ(Messages(), std::vector<std::string> { "Invalid Archive File Cannot Extract Claim Information" });
        }
        EXPECT_EQ(Counter(), 417);
        EXPECT_EQ(Rows().size(), rows.size());
        EXPECT_EQ(ClaimsTree(), files);
        EXPECT_EQ(ReadFile(Download()), kept);
        EXPECT_TRUE(ArcsInPrivateDir().empty());
        notice.messages.clear();
    }
}

namespace {

// Stops every write of this process past `limit` bytes of a file while it lives, as a full disk
// stops it: the write fails with EFBIG instead of the signal ending the process. Root is held to
// the limit like everyone else.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &m_saved), 0);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit lowered = { limit, m_saved.rlim_max };
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0) << std::strerror(errno);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit m_saved = {};
    void (*m_handler)(int) = SIG_DFL;
};

// Every entry of a folder tree with its bytes; nothing for a folder that is gone.
std::map<std::string, std::string> FolderContents(const std::string& folder)
{
    std::map<std::string, std::string> contents;
    if (!fs::exists(folder)) {
        return contents;
    }
    for (const std::string& name : ListTree(folder)) {
        contents[name] = name.ends_with("/") ? std::string() : ReadFile(folder + "/" + name);
    }
    return contents;
}

} // namespace

// The replaced claim's pictures exist only in its folder until they are copied into the new one:
// when that copy fails, the old claim stays as it was, folder and record, and the user is told.
TEST_F(RestoreClaimArchiveTest, ImageTablesThatCannotBeCopiedKeepTheOldClaim)
{
    constexpr rlim_t kLimit = 1 << 20;
    AddLocalClaim12();
    {
        // A picture larger than the writes below may grow a file.
        Table image(C("2023/777.kvx"), "image.db");
        image.Open(OpenMode::Exclusive);
        image.Append();
        image.FieldByName("ImageNo").SetInteger(5);
        image.FieldByName("Thumb").SetBytes(fixtures::DocumentBytes(3 * kLimit, 13));
        image.Post();
    }
    ASSERT_GT(fs::file_size(platform::ResolveNoCase(C("2023/777.kvx"), "image.mb")), kLimit);
    MakeDownload(); // no image tables in the archive: the old ones are to come over
    const std::string kept = ReadFile(Download());
    const std::map<std::string, std::string> oldFolder = FolderContents(C("2023/777.kvx"));
    const std::vector<ClaimRow> rows = Rows();

    {
        FileSizeLimit limit(kLimit);
        Restore(restore::kRestoreServerNewer, false, 12);
    }

    // Every file of the old folder is still there as it was (compared quietly: the bytes are many).
    const std::map<std::string, std::string> oldFolderNow = FolderContents(C("2023/777.kvx"));
    EXPECT_EQ(oldFolderNow.size(), oldFolder.size());
    for (const auto& [name, bytes] : oldFolder) {
        const auto found = oldFolderNow.find(name);
        EXPECT_TRUE(found != oldFolderNow.end() && found->second == bytes) << name << " is gone or changed";
    }
    EXPECT_TRUE(Deldir().empty());
    const std::vector<ClaimRow> after = Rows();
    ASSERT_EQ(after.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(after[i].text, rows[i].text);
    }
    std::vector<std::string> claimDirEntries;
    for (const auto& entry : fs::directory_iterator(C("2023"))) {
        claimDirEntries.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(claimDirEntries, std::vector<std::string> { "777.kvx" });
    EXPECT_EQ(ReadFile(Download()), kept);
    EXPECT_TRUE(ArcsInPrivateDir().empty());

    ASSERT_EQ(notice.messages.size(), 2u);
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Error);
    EXPECT_TRUE(notice.messages[0].text.ends_with("image.mb\r\nCoy Claim Component Failed")) << notice.messages[0].text;
    const std::string& outcome = notice.messages[1].text;
    EXPECT_EQ(outcome.rfind("Claim CLM-00007 could not be restored:\r\n", 0), 0u) << outcome;
    EXPECT_NE(outcome.find(C("2023/777.kvx")), std::string::npos) << outcome;
    EXPECT_NE(outcome.find("stays for another try"), std::string::npos) << outcome;
}

// Cameras name their pictures alike: members of different subfolders under one name all come
// into the flat claim folder, the later ones under free names, and the user is told which. The
// files directly in the claim folder keep their names, whatever the archive's order.
TEST_F(RestoreClaimArchiveTest, MembersWithOneNameInDifferentFoldersAreAllKept)
{
    RawClaim claim = MakeRawClaim();
    std::vector<RawMember> members = {
        { "2024/C0001/photos/autoincs.db", "not the claim's counter" },
        { "2024/C0001/photos/IMG_0001.JPG", "first camera" },
        { "2024/C0001/roof/IMG_0001.JPG", "second camera" },
        { "2024/C0001/roof/old/img_0001.jpg", "third camera, other case" },
        { "2024/C0001/IMG_0001 (2).JPG", "in the claim folder itself" },
        { "2024/C0001/README", "no extension" },
        { "2024/C0001/notes/README", "no extension either" },
    };
    members.insert(members.end(), claim.files.begin(), claim.files.end());
    members.insert(members.end(), claim.arcs.begin(), claim.arcs.end());
    WriteRawArchive(Download(), members);

    RestoreAsNew();

    Table claims(claimsDir, "Claims.DB");
    ASSERT_NE(OpenRecord(claims, 418), nullptr);
    const std::string folder = C("inbox/" + claims.FieldByName("ClaimSubDir").AsText());
    const std::map<std::string, std::string> expected = {
        { "IMG_0001.JPG", "first camera" },
        { "IMG_0001 (2).JPG", "in the claim folder itself" },
        { "IMG_0001 (3).JPG", "second camera" },
        { "img_0001 (4).jpg", "third camera, other case" },
        { "README", "no extension" },
        { "README (2)", "no extension either" },
        { "autoincs (2).db", "not the claim's counter" },
    };
    for (const auto& [name, bytes] : expected) {
        EXPECT_TRUE(fs::exists(folder + "/" + name)) << name;
        if (fs::exists(folder + "/" + name)) {
            EXPECT_EQ(ReadFile(folder + "/" + name), bytes) << name;
        }
    }
    EXPECT_EQ(ReadFile(folder + "/autoincs.db"), claim.files[0].bytes);
    EXPECT_EQ(ListTree(folder).size(), expected.size() + 4 + ListTree(C("Empty")).size());

    ASSERT_EQ(notice.messages.size(), 1u);
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Information);
    EXPECT_EQ(notice.messages[0].text,
              "Some files of claim CLM-00007 have the same name as another file of the archive in another folder. "
              "They were restored into "
                  + folder
                  + " under new names:\r\n"
                    "2024/C0001/photos/autoincs.db as autoincs (2).db\r\n"
                    "2024/C0001/roof/IMG_0001.JPG as IMG_0001 (3).JPG\r\n"
                    "2024/C0001/roof/old/img_0001.jpg as img_0001 (4).jpg\r\n"
                    "2024/C0001/notes/README as README (2)");
}

// What an archive declares it unpacks to must fit the disk before anything is written there: the
// claims directory's for the claim's files, the engine's private folder's for the ARCS table. The
// sizes are added so that they cannot wrap around to a small sum.
TEST_F(RestoreClaimArchiveTest, AnArchiveLargerThanTheFreeSpaceChangesNothing)
{
    struct Case
    {
        std::string what;
        std::string prefix; // of the extra members' names
        std::vector<std::uint64_t> declared; // their sizes
        std::string message; // how the message begins
    };
    const std::string notRestored = "Claim CLM-00007 could not be restored:\r\n";
    const std::vector<Case> cases = {
        { "one member of a petabyte", "2024/C0001/video", { std::uint64_t { 1 } << 50 }, notRestored },
        { "three members whose sizes add up past 2^64", "2024/C0001/video",
          std::vector<std::uint64_t>(3, 0x5555555555555556), notRestored },
        { "an ARCS member of a petabyte", "ARCS.X", { std::uint64_t { 1 } << 50 }, "The archive " + Download() },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RawClaim claim = MakeRawClaim();
        json::Value layout = json::Value::array();
        for (const std::vector<RawMember>* part : { &claim.files, &claim.arcs }) {
            for (const RawMember& member : *part) {
                layout.push_back(
                    { { "name", member.name }, { "file", tree.Write("raw/" + member.name, member.bytes) } });
            }
        }
        for (std::size_t i = 0; i < c.declared.size(); ++i) {
            layout.push_back({ { "name", c.prefix + std::to_string(i) },
                               { "data", "0" },
                               { "repeat", 4096 },
                               { "method", "deflated" },
                               { "declare", c.declared[i] } });
        }
        test::MakeArchive(Download(), layout);
        const std::string kept = ReadFile(Download());
        const std::vector<ClaimRow> rows = Rows();
        const std::vector<std::string> files = ClaimsTree();
        const std::int64_t counter = Counter();

        RestoreAsNew();

        ASSERT_EQ(notice.messages.size(), 1u);
        const std::string& text = notice.messages[0].text;
        EXPECT_EQ(text.rfind(c.message, 0), 0u) << text;
        EXPECT_NE(text.find(Download()), std::string::npos) << text;
        EXPECT_NE(text.find("bytes free"), std::string::npos) << text;
        EXPECT_EQ(Counter(), counter);
        EXPECT_EQ(Rows().size(), rows.size());
        EXPECT_EQ(ClaimsTree(), files);
        EXPECT_EQ(ReadFile(Download()), kept);
        EXPECT_TRUE(ArcsInPrivateDir().empty());
        fs::remove(Download());
        fs::remove_all(tree.Path("raw"));
        notice.messages.clear();
    }
}

// The archive's claim record is the ARCS table at its root; members of the same name pattern in
// a folder are no part of it and never reach the engine's private folder.
TEST_F(RestoreClaimArchiveTest, OnlyTheArcsTableAtTheRootIsTheClaimRecord)
{
    struct Case
    {
        std::string what;
        RawMember below;
    };
    const std::vector<Case> cases = {
        { "a claims table in a folder arcs.x", { "arcs.x/Claims.DB", "" } },
        { "an ARCS table in a folder arcs.bak", { "arcs.bak/ARCS.DB", "not a table at all" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawClaim claim = MakeRawClaim();
        RawMember below = c.below;
        if (below.bytes.empty()) {
            below.bytes = claim.files[1].bytes; // the claim folder's Claims.DB
        }
        std::vector<RawMember> members = claim.files;
        members.insert(members.end(), claim.arcs.begin(), claim.arcs.end());
        members.push_back(below);
        WriteRawArchive(Download(), members);
        const std::vector<std::string> privateBefore = ListTree(privateDir);
        const std::size_t count = Rows().size();

        RestoreAsNew();

        EXPECT_EQ(Messages(), std::vector<std::string> {});
        EXPECT_EQ(ListTree(privateDir), privateBefore);
        ASSERT_EQ(Rows().size(), count + 1);
        Table claims(claimsDir, "Claims.DB");
        claims.Open(OpenMode::Shared);
        claims.Last();
        EXPECT_EQ(claims.FieldByName("ClaimNumber").AsText(), "CLM-00007");
        notice.messages.clear();
    }
}
