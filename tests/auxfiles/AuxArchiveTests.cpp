#include <gtest/gtest.h>

#include "auxfiles/AuxArchive.h"
#include "common/Workstation.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/zip/ZipTestSupport.h"
#include "support/zip/ZipWriter.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace wh;
using auxfiles::BuildAuxArchive;
using auxfiles::ExtractAuxArchive;
using test::InspectArchive;
using test::MakeArchive;
using test::MemberNames;

namespace fs = std::filesystem;

namespace {

const std::vector<paradox::FieldDef> kFields = { { "ID", paradox::FieldType::Long, 0 },
                                                 { "Name", paradox::FieldType::Alpha, 40 },
                                                 { "Notes", paradox::FieldType::Memo, 10 } };

// A maintained index over the Name field.
const paradox::SecondaryIndexDef kByName = [] {
    paradox::SecondaryIndexDef def;
    def.fields = { 1 };
    return def;
}();

json::Value Member(const std::string& name, const std::string& data)
{
    return json::Value { { "name", name }, { "data", data }, { "method", "deflated" } };
}

// Every entry below a folder with its bytes (a link's target for links), to compare a folder
// before and after byte for byte.
std::map<std::string, std::string> Snapshot(const std::string& folder)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string relative = fs::relative(entry.path(), folder).string();
        if (entry.is_symlink()) {
            entries[relative] = "-> " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            entries[relative + "/"] = "";
        } else {
            entries[relative] = test::ReadFile(entry.path().string());
        }
    }
    return entries;
}

// The entries that differ between two snapshots, by name: readable where the bytes are not.
std::vector<std::string> ChangedEntries(const std::map<std::string, std::string>& before,
                                        const std::map<std::string, std::string>& after)
{
    std::vector<std::string> changed;
    for (const auto& [name, bytes] : before) {
        const auto found = after.find(name);
        if (found == after.end()) {
            changed.push_back("gone: " + name);
        } else if (found->second != bytes) {
            changed.push_back("changed: " + name);
        }
    }
    for (const auto& [name, bytes] : after) {
        if (before.count(name) == 0) {
            changed.push_back("new: " + name);
        }
    }
    return changed;
}

class AuxArchiveTest : public ::testing::Test, protected test::Workstation
{
protected:
    std::string Claims() const { return ClaimsPath(""); }

    // A real table (so the in-use test can open it) with one record.
    void MakeTable(const std::string& name, int keyFields = 1, bool memo = true)
    {
        MakeTableIn(Claims(), name, keyFields, memo, "notes of " + name);
    }

    static void MakeTableIn(const std::string& folder, const std::string& name, int keyFields, bool memo,
                            const std::string& notes)
    {
        auto fields = kFields;
        if (!memo) {
            fields.pop_back();
        }
        paradox::Table::Create(folder, name, fields, keyFields);
        paradox::Table table(folder, name);
        table.Open(paradox::OpenMode::Exclusive);
        table.Append();
        table.FieldByName("ID").SetInteger(7);
        table.FieldByName("Name").SetText(name);
        if (memo) {
            table.FieldByName("Notes").SetText(notes);
        }
        table.Post();
        table.Close();
    }

    // Writes an archive of the given members (name, bytes) with the plain writer: no filter, so
    // lock files and broken families go in as given.
    void WriteArchive(const std::string& path, const std::vector<std::pair<std::string, std::string>>& members)
    {
        fs::remove_all(tree.Path("members"));
        zip::ZipWriter writer(path);
        writer.SetComment(auxfiles::kAuxArchiveComment);
        for (const auto& [name, bytes] : members) {
            writer.AddFile(tree.Write("members/" + name, bytes), name);
        }
        writer.Close();
    }

    std::vector<std::string> Messages() const
    {
        std::vector<std::string> texts;
        for (const auto& message : notice.messages) {
            texts.push_back(message.text);
        }
        return texts;
    }

    std::string archive = tree.MakeDir("data") + "/AUX.zip";
};

// Holds a table open in another process, as the adjusting product does, until the object goes.
class TableHeldElsewhere
{
public:
    TableHeldElsewhere(const std::string& folder, const std::string& name, paradox::OpenMode mode)
    {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_release) != 0) {
            throw std::runtime_error("pipe");
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(m_release[1]);
            char c = '0';
            try {
                paradox::Table table(folder, name);
                table.Open(mode);
                c = '1';
                (void)::write(ready[1], &c, 1);
                (void)::read(m_release[0], &c, 1); // until the parent closes its end
            } catch (...) {
                (void)::write(ready[1], &c, 1);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(m_release[0]);
        char c = '0';
        m_holding = ::read(ready[0], &c, 1) == 1 && c == '1';
        ::close(ready[0]);
    }
    ~TableHeldElsewhere()
    {
        ::close(m_release[1]);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    bool Holding() const { return m_holding; }

private:
    pid_t m_pid = -1;
    int m_release[2] = { -1, -1 };
    bool m_holding = false;
};

} // namespace

TEST_F(AuxArchiveTest, KindsNameTheirFamiliesTestTablesAndComments)
{
    const auxfiles::AuxKind& templates = auxfiles::AuxKindByNumber(3);
    EXPECT_STREQ(templates.code, "TPL");
    EXPECT_EQ(templates.masks, (std::vector<std::string> { "rpttmpgr.*", "rpttmpl2.*" }));
    EXPECT_STREQ(auxfiles::AuxKindByNumber(5).statusWord, "Appointment Book");
    EXPECT_STREQ(auxfiles::AuxKindByNumber(8).getFile, "CDI.CDI");
    EXPECT_EQ(auxfiles::FindAuxKind("FEE"), &auxfiles::AuxKindByNumber(7));
    EXPECT_EQ(auxfiles::FindAuxKind("fee"), nullptr);
    EXPECT_THROW(auxfiles::AuxKindByNumber(9), AssertionError);
}

TEST_F(AuxArchiveTest, TemplatesGoInWithTheirCommentsAndWithoutLockFilesOrSubfolders)
{
    MakeTable("rpttmpgr.DB", 1, false); // keyed: .DB and .PX
    MakeTable("rpttmpl2.DB", 0); // .DB and .MB
    tree.Write("claims/PDOXUSRS.NET", "net");
    tree.Write("claims/PARADOX.LCK", "lck");
    tree.Write("claims/rpttmpgr.lck", "lck");
    tree.Write("claims/Reports/rpttmpgr.X02", "in a subfolder");
    tree.Write("claims/rpttmpl2/rpttmpl2.DB", "in a subfolder");
    ASSERT_TRUE(fs::exists(ClaimsPath("rpttmpgr.PX")));
    ASSERT_TRUE(fs::exists(ClaimsPath("rpttmpl2.MB")));
    tree.Write("data/AUX.zip", "an old archive");

    ASSERT_EQ(BuildAuxArchive(env, 3, archive), 0) << ::testing::PrintToString(Messages());
    EXPECT_TRUE(notice.messages.empty());
    const json::Value zip = InspectArchive(archive);
    EXPECT_EQ(MemberNames(zip),
              (std::vector<std::string> { "rpttmpgr.DB", "rpttmpgr.PX", "rpttmpl2.DB", "rpttmpl2.MB" }));
    EXPECT_EQ(zip["comment"], "Korvan Date WareHouse");
    EXPECT_TRUE(zip["bad"].is_null());
    EXPECT_FALSE(zip["zip64"].get<bool>());
    for (const auto& member : zip["members"]) {
        EXPECT_EQ(member["comment"], "Korvan Templates WareHouse") << member["name"];
        EXPECT_EQ(member["method"], 8) << member["name"];
        EXPECT_EQ(member["size"].get<std::size_t>(), fs::file_size(ClaimsPath(member["name"].get<std::string>())));
    }
}

TEST_F(AuxArchiveTest, EveryMaskMustFindItsFamily)
{
    struct Case
    {
        int kind;
        std::vector<std::string> tables;
        int result;
        std::vector<std::string> members; // when built
        std::string message; // part of the error box when not built
    };
    const std::vector<Case> cases = {
        { 8,
          { "Custom.DB", "CustomCat.DB" },
          0,
          { "Custom.DB", "Custom.MB", "Custom.PX", "CustomCat.DB", "CustomCat.MB", "CustomCat.PX" },
          "" },
        // "Custom.*" alone does not take the CustomCat family.
        { 8, { "Custom.DB" }, 1, {}, "matches CustomCat.*" },
        { 6, { "mtdiaryl.DB", "mtdiarys.DB" }, 1, {}, "matches mtdiaryp.*" },
        { 6,
          { "mtdiaryl.DB", "mtdiarys.DB", "mtdiaryp.DB" },
          0,
          { "mtdiaryl.DB", "mtdiaryl.MB", "mtdiaryl.PX", "mtdiarys.DB", "mtdiarys.MB", "mtdiarys.PX", "mtdiaryp.DB",
            "mtdiaryp.MB", "mtdiaryp.PX" },
          "" },
        // The test table itself missing: the engine's message.
        { 1, {}, 1, {}, "mtadds" },
    };
    for (const Case& c : cases) {
        fs::remove_all(Claims());
        fs::create_directories(Claims());
        notice.messages.clear();
        for (const std::string& table : c.tables) {
            MakeTable(table);
        }
        EXPECT_EQ(BuildAuxArchive(env, c.kind, archive), c.result) << c.kind << " " << c.message;
        if (c.result == 0) {
            EXPECT_TRUE(notice.messages.empty());
            EXPECT_EQ(MemberNames(InspectArchive(archive)), c.members);
        } else {
            ASSERT_EQ(notice.messages.size(), 1u);
            EXPECT_EQ(notice.messages[0].kind, MessageKind::Error);
            EXPECT_NE(notice.messages[0].text.find(c.message), std::string::npos) << notice.messages[0].text;
            EXPECT_FALSE(fs::exists(archive));
        }
    }
}

TEST_F(AuxArchiveTest, ATableInUseElsewhereStopsBothDirectionsWithTheWarning)
{
    MakeTable("mtadds.DB");
    ASSERT_EQ(BuildAuxArchive(env, 1, archive), 0);
    const std::string sound = tree.Path("sound.zip");
    fs::copy_file(archive, sound);
    const auto before = Snapshot(Claims());

    TableHeldElsewhere product(Claims(), "mtadds.DB", paradox::OpenMode::Shared);
    ASSERT_TRUE(product.Holding());
    EXPECT_EQ(BuildAuxArchive(env, 1, archive), 2);
    EXPECT_FALSE(fs::exists(archive)); // the old file went first
    EXPECT_EQ(ExtractAuxArchive(env, 1, sound), 2);
    EXPECT_EQ(auxfiles::CheckAuxTableFree(env, 1, auxfiles::AuxExtract), 2);
    ASSERT_EQ(notice.messages.size(), 3u);
    for (const auto& message : notice.messages) {
        EXPECT_EQ(message.kind, MessageKind::Warning);
    }
    EXPECT_EQ(notice.messages[0].text,
              "Database table \"MTADDS.DB\" is in use.\r\nCannot create archive to store, Please try later.");
    EXPECT_EQ(notice.messages[1].text,
              "Database table \"MTADDS.DB\" is in use.\r\nCannot unarchive to database directory, Please try later.");
    EXPECT_EQ(Snapshot(Claims()), before);
}

TEST_F(AuxArchiveTest, AnOldArchiveThatCannotBeDeletedIsReported)
{
    MakeTable("mtadds.DB");
    tree.Write("data/AUX.zip/inside", "a folder stands at the path");
    EXPECT_EQ(BuildAuxArchive(env, 1, archive), 2);
    ASSERT_EQ(notice.messages.size(), 1u);
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Warning);
    std::string upper = archive;
    for (char& ch : upper) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    EXPECT_EQ(notice.messages[0].text,
              "Cannot Delete File : " + upper
                  + "\r\nPlease contact your system administrator to correct this problem.");
}

TEST_F(AuxArchiveTest, ExtractionReplacesEachFamilyWholeAndNeverWritesThroughALink)
{
    MakeTable("mtadds.DB");
    ASSERT_EQ(paradox::Table::AddSecondaryIndex(Claims(), "mtadds.DB", kByName), "mtadds.X02");
    ASSERT_EQ(BuildAuxArchive(env, 1, archive), 0);
    const auto packed = Snapshot(Claims());

    // The local family changes: newer data, an index the archive lacks, another spelling, a
    // read-only file and a link that leads out of the claims directory.
    tree.Write("claims/mtadds.DB", "a newer local table");
    fs::remove(ClaimsPath("mtadds.PX"));
    tree.Write("claims/MTADDS.PX", "an index in capitals");
    tree.Write("claims/mtadds.Y03", "an index the archive does not know");
    test::SetMode(ClaimsPath("mtadds.MB"), 0444);
    const std::string outside = tree.Write("outside.txt", "not the product's");
    fs::remove(ClaimsPath("mtadds.X02"));
    fs::create_symlink(outside, ClaimsPath("mtadds.X02"));
    tree.Write("claims/PARADOX.LCK", "the engine's lock");
    tree.Write("claims/mtaddsbook.DB", "another family");

    // The in-use test opens the local table, so it must still be one.
    fs::copy_file(tree.Path("claims/mtadds.DB"), tree.Path("newer.DB"));
    paradox::Table::Create(Claims(), "mtadds.DB", kFields, 1);
    fs::remove(ClaimsPath("mtadds.PX"));

    ASSERT_EQ(ExtractAuxArchive(env, 1, archive), 0) << ::testing::PrintToString(Messages());
    EXPECT_TRUE(notice.messages.empty());
    auto expected = packed;
    expected["PARADOX.LCK"] = "the engine's lock";
    expected["mtaddsbook.DB"] = "another family";
    expected.erase("Warehouse/");
    expected.erase("Warehouse/Downloads/");
    expected.erase("Warehouse/Uploads/");
    auto after = Snapshot(Claims());
    after.erase("Warehouse/");
    after.erase("Warehouse/Downloads/");
    after.erase("Warehouse/Uploads/");
    EXPECT_EQ(after, expected);
    EXPECT_EQ(test::ReadFile(outside), "not the product's");
    EXPECT_FALSE(fs::is_symlink(ClaimsPath("mtadds.X02")));
    paradox::Table table(Claims(), "mtadds.DB");
    table.Open(paradox::OpenMode::Shared);
    EXPECT_EQ(table.FieldByName("Notes").AsText(), "notes of mtadds.DB");
}

TEST_F(AuxArchiveTest, LockMembersAreLeftOutAndTheFamilyArrivesWhole)
{
    MakeTable("mtadds.DB");
    tree.Write("claims/PARADOX.LCK", "the engine's own lock");
    const std::string server = tree.MakeDir("server");
    MakeTableIn(server, "mtadds.DB", 1, true, "the office's phone book notes");
    const auto sound = [&](const std::string& name) { return test::ReadFile(server + "/" + name); };
    WriteArchive(archive,
                 { { "PARADOX.LCK", "a stale lock" },
                   { "mtadds.DB", sound("mtadds.DB") },
                   { "mtadds.PX", sound("mtadds.PX") },
                   { "mtadds.lck", "a table lock" },
                   { "mtadds.MB", sound("mtadds.MB") },
                   { "pdoxusrs.net", "net" } });

    EXPECT_EQ(ExtractAuxArchive(env, 1, archive), 0) << ::testing::PrintToString(Messages());
    EXPECT_TRUE(notice.messages.empty());
    EXPECT_EQ(test::ReadFile(ClaimsPath("PARADOX.LCK")), "the engine's own lock");
    EXPECT_FALSE(fs::exists(ClaimsPath("pdoxusrs.net")));
    EXPECT_FALSE(fs::exists(ClaimsPath("mtadds.lck")));
    for (const char* name : { "mtadds.DB", "mtadds.PX", "mtadds.MB" }) {
        ASSERT_TRUE(fs::exists(ClaimsPath(name))) << name;
        EXPECT_EQ(test::ReadFile(ClaimsPath(name)), sound(name)) << name;
    }
    paradox::Table table(Claims(), "mtadds.DB");
    table.Open(paradox::OpenMode::Shared);
    EXPECT_EQ(table.FieldByName("Notes").AsText(), "the office's phone book notes");
}

// Archives that are well-formed ZIP files but would leave a family without its table, the kind
// without its test table, or tables the engine cannot read: each is refused before anything local
// changes, and a sound archive of the same families still goes in.
TEST_F(AuxArchiveTest, IncompleteOrDamagedTablesAreRefusedWithNothingChanged)
{
    MakeTable("mtadds.DB");
    MakeTable("rpttmpgr.DB", 1, false);
    MakeTable("rpttmpl2.DB", 0);
    tree.Write("claims/PARADOX.LCK", "the engine's own lock");
    const std::string server = tree.MakeDir("server");
    MakeTableIn(server, "mtadds.DB", 1, true, std::string(3000, 'p'));
    ASSERT_EQ(paradox::Table::AddSecondaryIndex(server, "mtadds.DB", kByName), "mtadds.X02");
    // The index as it was before the table got a second record.
    const std::string staleIndex = test::ReadFile(server + "/mtadds.X02");
    const std::string staleIndexTree = test::ReadFile(server + "/mtadds.Y02");
    {
        paradox::Table grown(server, "mtadds.DB");
        grown.Open(paradox::OpenMode::Exclusive);
        grown.Append();
        grown.FieldByName("ID").SetInteger(8);
        grown.FieldByName("Name").SetText("a second entry");
        grown.Post();
        grown.Close();
    }
    ASSERT_NE(test::ReadFile(server + "/mtadds.X02"), staleIndex);
    MakeTableIn(server, "rpttmpgr.DB", 1, false, "");
    MakeTableIn(server, "rpttmpl2.DB", 0, true, "the office's templates");
    const auto sound = [&](const std::string& name) { return test::ReadFile(server + "/" + name); };
    const std::string table = sound("mtadds.DB");
    ASSERT_GT(table.size(), 2048u);
    const std::string junk(4096, 'x');

    using Members = std::vector<std::pair<std::string, std::string>>;
    struct Case
    {
        std::string what;
        int kind;
        Members members;
        std::string reason; // part of the reported cause
    };
    const std::vector<Case> cases = {
        { "only the index of a family, beside lock members",
          1,
          { { "PARADOX.LCK", "a stale lock" }, { "mtadds.PX", sound("mtadds.PX") }, { "pdoxusrs.net", "net" } },
          "mtadds.PX without its table mtadds.DB" },
        { "the memo file without its table",
          1,
          { { "mtadds.PX", sound("mtadds.PX") }, { "mtadds.MB", sound("mtadds.MB") } },
          "without its table mtadds.DB" },
        { "nothing but lock members", 1, { { "PARADOX.LCK", "a stale lock" } }, "holds no mtadds.DB" },
        { "a junk table",
          1,
          { { "mtadds.DB", junk }, { "mtadds.PX", sound("mtadds.PX") }, { "mtadds.MB", sound("mtadds.MB") } },
          "its table mtadds.DB is damaged" },
        { "a truncated table",
          1,
          { { "mtadds.DB", table.substr(0, table.size() - 100) },
            { "mtadds.PX", sound("mtadds.PX") },
            { "mtadds.MB", sound("mtadds.MB") } },
          "its table mtadds.DB is damaged" },
        { "a junk primary index",
          1,
          { { "mtadds.DB", table }, { "mtadds.PX", junk }, { "mtadds.MB", sound("mtadds.MB") } },
          "its table mtadds.DB is damaged" },
        { "the primary index missing",
          1,
          { { "mtadds.DB", table }, { "mtadds.MB", sound("mtadds.MB") } },
          "primary index" },
        { "a junk memo file",
          1,
          { { "mtadds.DB", table }, { "mtadds.PX", sound("mtadds.PX") }, { "mtadds.MB", junk } },
          "its table mtadds.DB is damaged" },
        { "a junk secondary index",
          1,
          { { "mtadds.DB", table },
            { "mtadds.PX", sound("mtadds.PX") },
            { "mtadds.MB", sound("mtadds.MB") },
            { "mtadds.X02", junk },
            { "mtadds.Y02", sound("mtadds.Y02") } },
          "secondary index mtadds.X02 cannot be read" },
        { "a secondary index behind its table",
          1,
          { { "mtadds.DB", table },
            { "mtadds.PX", sound("mtadds.PX") },
            { "mtadds.MB", sound("mtadds.MB") },
            { "mtadds.X02", staleIndex },
            { "mtadds.Y02", staleIndexTree } },
          "secondary index mtadds.X02" },
        { "the memo file missing",
          1,
          { { "mtadds.DB", table }, { "mtadds.PX", sound("mtadds.PX") } },
          "holds no mtadds.MB" },
        { "the kind's test table missing",
          3,
          { { "rpttmpl2.DB", sound("rpttmpl2.DB") }, { "rpttmpl2.MB", sound("rpttmpl2.MB") } },
          "holds no rpttmpgr.DB" },
        { "one family whole, the other without its table",
          3,
          { { "rpttmpgr.DB", sound("rpttmpgr.DB") },
            { "rpttmpgr.PX", sound("rpttmpgr.PX") },
            { "rpttmpl2.MB", sound("rpttmpl2.MB") } },
          "rpttmpl2.MB without its table rpttmpl2.DB" },
    };
    const auto before = Snapshot(Claims());
    for (const Case& c : cases) {
        // Each case starts from the same claims directory, so that one loss does not hide the next.
        fs::remove_all(Claims());
        for (const auto& [name, bytes] : before) {
            if (name.ends_with("/")) {
                fs::create_directories(ClaimsPath(name));
            } else {
                tree.Write("claims/" + name, bytes);
            }
        }
        notice.messages.clear();
        WriteArchive(archive, c.members);
        std::string reason;
        EXPECT_EQ(ExtractAuxArchive(env, c.kind, archive, &reason), 1) << c.what;
        EXPECT_EQ(Messages(), std::vector<std::string> { "Invalid Archive cannot extract Information" }) << c.what;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
        EXPECT_NE(reason.find(archive), std::string::npos) << c.what << ": " << reason;
        EXPECT_EQ(reason.find(".whaux-"), std::string::npos) << c.what << ": " << reason;
        EXPECT_EQ(ChangedEntries(before, Snapshot(Claims())), std::vector<std::string> {}) << c.what;
    }

    // The same families whole and sound go in.
    notice.messages.clear();
    WriteArchive(archive,
                 { { "mtadds.DB", table },
                   { "mtadds.PX", sound("mtadds.PX") },
                   { "mtadds.MB", sound("mtadds.MB") },
                   { "mtadds.X02", sound("mtadds.X02") },
                   { "mtadds.Y02", sound("mtadds.Y02") } });
    EXPECT_EQ(ExtractAuxArchive(env, 1, archive), 0) << ::testing::PrintToString(Messages());
    WriteArchive(archive,
                 { { "rpttmpgr.DB", sound("rpttmpgr.DB") },
                   { "rpttmpgr.PX", sound("rpttmpgr.PX") },
                   { "rpttmpl2.DB", sound("rpttmpl2.DB") },
                   { "rpttmpl2.MB", sound("rpttmpl2.MB") } });
    EXPECT_EQ(ExtractAuxArchive(env, 3, archive), 0) << ::testing::PrintToString(Messages());
    EXPECT_TRUE(notice.messages.empty());
    for (const char* name : { "mtadds.DB", "mtadds.PX", "mtadds.MB", "mtadds.X02", "mtadds.Y02", "rpttmpgr.DB",
                              "rpttmpgr.PX", "rpttmpl2.DB", "rpttmpl2.MB" }) {
        EXPECT_EQ(test::ReadFile(ClaimsPath(name)), sound(name)) << name;
    }
    EXPECT_EQ(test::ReadFile(ClaimsPath("PARADOX.LCK")), "the engine's own lock");
}

TEST_F(AuxArchiveTest, HostileOrBrokenArchivesChangeNothing)
{
    MakeTable("mtadds.DB");
    tree.Write("claims/mtadds.X02", "the local index");
    const auto before = Snapshot(tree.Root() + "/claims");
    const std::string sound = "sound data";
    struct Case
    {
        std::string what;
        json::Value members;
        std::string reason; // part of the reported cause
    };
    const std::vector<Case> cases = {
        { "path escape", json::Value::array({ Member("mtadds.PX", sound), Member("../mtadds.DB", "escaped") }),
          "not a bare file name" },
        { "absolute name", json::Value::array({ Member(tree.Path("mtadds.DB"), "escaped") }), "not a bare file name" },
        { "member in a folder", json::Value::array({ Member("Warehouse/mtadds.DB", "nested") }),
          "not a bare file name" },
        { "link member",
          json::Value::array({ { { "name", "mtadds.PX" },
                                 { "data", tree.Path("outside") },
                                 { "system", 3 },
                                 { "attr", (0120777u << 16) } } }),
          "link" },
        { "table of another database", json::Value::array({ Member("mtadds.PX", sound), Member("Claims.DB", "x") }),
          "belongs to no Phone Book table" },
        { "member twice in two spellings",
          json::Value::array({ Member("mtadds.PX", sound), Member("MTADDS.px", sound) }), "twice" },
        { "data beyond its stored size",
          json::Value::array({ Member("mtadds.PX", sound),
                               { { "name", "mtadds.DB" },
                                 { "data", std::string(1024, '\0') },
                                 { "repeat", 4096 },
                                 { "method", "deflated" },
                                 { "declare", 1000 } } }),
          "larger than its stored size" },
        { "a huge claimed size",
          json::Value::array({ { { "name", "mtadds.DB" },
                                 { "data", "tiny" },
                                 { "method", "deflated" },
                                 { "declare", 0xFFFFFFF0u } } }),
          "mtadds.DB" },
        { "sizes that add up past 2^64",
          json::Value::array({ { { "name", "mtadds.DB" },
                                 { "data", "0" },
                                 { "repeat", 4096 },
                                 { "method", "deflated" },
                                 { "declare", 0x5555555555555556u } },
                               { { "name", "mtadds.PX" },
                                 { "data", "0" },
                                 { "repeat", 4096 },
                                 { "method", "deflated" },
                                 { "declare", 0x5555555555555556u } },
                               { { "name", "mtadds.MB" },
                                 { "data", "0" },
                                 { "repeat", 4096 },
                                 { "method", "deflated" },
                                 { "declare", 0x5555555555555556u } } }),
          "has free" },
        { "damaged second member",
          json::Value::array({ Member("mtadds.PX", sound),
                               { { "name", "mtadds.DB" }, { "data", "a sound table body" }, { "flip", true } } }),
          "mtadds.DB" },
    };
    for (const Case& c : cases) {
        notice.messages.clear();
        MakeArchive(archive, c.members);
        std::string reason;
        EXPECT_EQ(ExtractAuxArchive(env, 1, archive, &reason), 1) << c.what;
        EXPECT_EQ(Messages(), std::vector<std::string> { "Invalid Archive cannot extract Information" }) << c.what;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
        EXPECT_EQ(Snapshot(tree.Root() + "/claims"), before) << c.what;
        EXPECT_FALSE(fs::exists(tree.Path("mtadds.DB"))) << c.what;
        EXPECT_FALSE(fs::exists(tree.Path("outside"))) << c.what;
    }
}

TEST_F(AuxArchiveTest, AFileThatIsNoArchiveGoesToTheCaller)
{
    MakeTable("mtadds.DB");
    tree.Write("data/AUX.zip", "not a zip archive at all");
    EXPECT_THROW(ExtractAuxArchive(env, 1, archive), ArchiveError);
}

// Staging folders an earlier extraction could not remove go before the next extraction or build:
// only hidden folders of the staging pattern in the claims directory itself, never one another
// process holds, and never one whose moved-aside files are the only copy of a family.
TEST_F(AuxArchiveTest, StagingFoldersLeftBehindAreSweptUnlessInUseOrStillNeeded)
{
    MakeTable("mtadds.DB");
    ASSERT_EQ(BuildAuxArchive(env, 1, archive), 0);
    const std::string table = test::ReadFile(ClaimsPath("mtadds.DB"));
    const auto stage = [&](const std::string& folder, const std::vector<std::string>& files) {
        tree.MakeDir("claims/" + folder);
        for (const std::string& file : files) {
            tree.Write("claims/" + folder + "/" + file, table);
        }
        return ClaimsPath(folder);
    };
    struct Case
    {
        std::string folder;
        bool swept;
    };
    const std::vector<Case> cases = {
        { stage(".whaux-Ab12Cd", { "old/mtadds.DB" }), true }, // a clean-up that failed half way
        { stage(".whaux-Zz99Yy", { "old/mtadds.PX" }), true }, // new/ already went
        { stage(".whaux-Qq11Rr", { "new/mtadds.DB" }), true }, // an extraction that was ended
        { stage(".whaux-Keep02", { "old/mtadds.DB", "new/mtadds.DB" }), false }, // the only earlier copy
        { stage(".whaux-Held01", { "old/mtadds.DB" }), false }, // another process is using it
        { stage(".whaux-notours", { "old/mtadds.DB" }), false },
        { stage("whaux-Ab12Cd", { "old/mtadds.DB" }), false },
        { stage("Warehouse/.whaux-Deep01", { "old/mtadds.DB" }), false },
    };
    fs::create_directories(ClaimsPath(".whaux-Ab12Cd/new"));
    tree.Write("claims/.whaux-File01", "a file, not a staging folder");
    const int held = ::open(ClaimsPath(".whaux-Held01").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    ASSERT_EQ(ExtractAuxArchive(env, 1, archive), 0);
    for (const Case& c : cases) {
        EXPECT_EQ(fs::exists(c.folder), !c.swept) << c.folder;
    }
    EXPECT_TRUE(fs::exists(ClaimsPath(".whaux-File01")));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(Claims())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".whaux-", 0) == 0) {
            left.push_back(name);
        }
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string> { ".whaux-File01", ".whaux-Held01", ".whaux-Keep02", ".whaux-notours" }))
        << "the extraction's own folder goes too";
    // The folder that keeps the only earlier copy is named, with where that copy is.
    ASSERT_EQ(notice.messages.size(), 1u) << ::testing::PrintToString(Messages());
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Warning);
    EXPECT_NE(notice.messages[0].text.find(ClaimsPath(".whaux-Keep02") + "/old"), std::string::npos)
        << notice.messages[0].text;

    // Once the other process lets it go, the next build sweeps it.
    ::close(held);
    notice.messages.clear();
    ASSERT_EQ(BuildAuxArchive(env, 1, archive), 0);
    EXPECT_FALSE(fs::exists(ClaimsPath(".whaux-Held01")));
    EXPECT_TRUE(fs::exists(ClaimsPath(".whaux-Keep02/old/mtadds.DB")));
}
