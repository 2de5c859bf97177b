#include <gtest/gtest.h>

#include "auxfiles/AuxArchive.h"
#include "common/Workstation.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/zip/ZipTestSupport.h"

#include <filesystem>
#include <map>
#include <string>
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

class AuxArchiveTest : public ::testing::Test, protected test::Workstation
{
protected:
    std::string Claims() const { return ClaimsPath(""); }

    // A real table (so the in-use test can open it) with one record.
    void MakeTable(const std::string& name, int keyFields = 1, bool memo = true)
    {
        auto fields = kFields;
        if (!memo) {
            fields.pop_back();
        }
        paradox::Table::Create(Claims(), name, fields, keyFields);
        paradox::Table table(Claims(), name);
        table.Open(paradox::OpenMode::Exclusive);
        table.Append();
        table.FieldByName("ID").SetInteger(7);
        table.FieldByName("Name").SetText(name);
        if (memo) {
            table.FieldByName("Notes").SetText("notes of " + name);
        }
        table.Post();
        table.Close();
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
    tree.Write("claims/mtadds.X02", "index of the new family");
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

TEST_F(AuxArchiveTest, LockMembersAreLeftOut)
{
    MakeTable("mtadds.DB");
    MakeArchive(archive,
                json::Value::array({ Member("PARADOX.LCK", "a stale lock"), Member("mtadds.PX", "index"),
                                     Member("pdoxusrs.net", "net") }));
    EXPECT_EQ(ExtractAuxArchive(env, 1, archive), 0) << ::testing::PrintToString(Messages());
    EXPECT_FALSE(fs::exists(ClaimsPath("PARADOX.LCK")));
    EXPECT_FALSE(fs::exists(ClaimsPath("pdoxusrs.net")));
    EXPECT_EQ(test::ReadFile(ClaimsPath("mtadds.PX")), "index");
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
