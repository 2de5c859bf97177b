// The auxiliary files window in-process under the offscreen platform, pressed with real mouse
// clicks: every kind stored from one claims directory and fetched into another through a real
// warehouse-server, then the failures with their messages. Screenshots go to the build folder's
// screenshots/ for anyone to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ClaimsFixture.h"
#include "app/Screenshots.h"
#include "auxfiles/AUX_Files.h"
#include "auxfiles/AuxArchive.h"
#include "auxfiles/AuxTransfer.h"
#include "common/RecordingUserNotice.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "env/WarehouseFuncs.h"
#include "support/paradox/Table.h"
#include "support/text/Clock.h"
#include "support/text/DateTime.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

using namespace wh;
using auxfiles::Tfrm_AUXStatus;
namespace fs = std::filesystem;

using wh::test::SaveScreenshot;

namespace {

constexpr const char* kCompany = "Aux Adjusting";
constexpr const char* kUser = "jdoe";
constexpr const char* kPassword = "secret";

std::string Text(const QLabel* label)
{
    return label->text().toStdString();
}

// The files of the claims directory's root that belong to the kind's table families.
std::map<std::string, std::string> Families(const std::string& claimsDir, const auxfiles::AuxKind& kind)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(claimsDir)) {
        const std::string name = entry.path().filename().string();
        for (const std::string& mask : kind.masks) {
            const std::string stem = mask.substr(0, mask.size() - 1); // "mtadds." of "mtadds.*"
            if (entry.is_regular_file() && name.rfind(stem, 0) == 0) {
                files[name] = test::ReadFile(entry.path().string());
            }
        }
    }
    return files;
}

// One workstation with its own claims directory, environment and session; one exists at a time,
// since the environment is read from the process's variables.
struct Desk
{
    Desk(test::TempTree& tree, const std::string& name, const std::string& serverBase)
        : layout(fixtures::BuildClaimsDirectory({ .root = tree.Path(name), .claims = 1 }))
        , programEnv("WHUPLOAD_PROGRAM_DIR", layout.programDir)
        , dataEnv("XDG_DATA_HOME", tree.Path(name + "-data"))
        , tmpEnv("TMPDIR", tree.MakeDir(name + "-tmp"))
        , env(notice, clock, [] {})
        , session(env)
    {
        env.PrepareLocalFolders();
        session.SetServerBase(serverBase);
        session.SetSessionCredentials(std::string(kCompany) + "/" + kUser, kPassword);
    }

    // The transfer files left in the local warehouse folder.
    std::vector<std::string> TransferFiles() const
    {
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(env.LocalWarehouseDir())) {
            const std::string extension = entry.path().extension().string();
            if (extension.size() == 4 && extension != ".txt" && entry.is_regular_file()) {
                left.push_back(entry.path().filename().string());
            }
        }
        return left;
    }

    fixtures::ClaimsDirLayout layout;
    test::ScopedEnv programEnv;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    env::WarehouseEnv env;
    warehouse::WarehouseSession session;
};

class AuxStatusFormTest : public ::testing::Test
{
protected:
    AuxStatusFormTest()
        : server(tree.Path("server-data"))
    {
        EXPECT_TRUE(server.AddUser(kCompany, kUser, kPassword, 3, 4, 5, 6, 42));
        text::SetProcessDateConventions(text::StartupDateConventions());
    }

    // Rows of the office's own in every table of the kind, so that its families differ from the
    // fixture's tables on any other desk.
    static void MakeOfficeRows(const std::string& claimsDir, const auxfiles::AuxKind& kind)
    {
        for (const std::string& mask : kind.masks) {
            paradox::Table table(claimsDir, mask.substr(0, mask.size() - 1) + "DB");
            table.Open(paradox::OpenMode::Exclusive);
            for (int id = 100; id < 100 + 3 * kind.number; ++id) {
                table.Append();
                table.FieldByName("ID").SetInteger(id);
                table.FieldByName("Name").SetText(std::string("office ") + kind.code + " " + std::to_string(id));
                table.FieldByName("Note").SetText(std::string(300 + id, static_cast<char>('a' + kind.number)));
                table.Post();
            }
            table.Close();
        }
    }

    test::TempTree tree;
    test::WarehouseServerProcess server;
};

} // namespace

TEST_F(AuxStatusFormTest, EveryKindGoesUpFromOneClaimsDirectoryAndComesDownIntoAnother)
{
    std::map<int, std::map<std::string, std::string>> stored;
    {
        Desk office(tree, "office", server.BaseUrl());
        Tfrm_AUXStatus window(office.env, office.session, office.notice);
        window.show();
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Korvan Auxiliary Files"));
        EXPECT_EQ(window.size(), QSize(547, 422));
        EXPECT_EQ(Text(window.StatusLine()), " Idle");
        for (const auxfiles::AuxKind& kind : auxfiles::AuxKinds()) {
            SCOPED_TRACE(kind.code);
            EXPECT_FALSE(window.GetButton(kind.number)->isEnabled());
            EXPECT_TRUE(window.PutButton(kind.number)->isEnabled());
            EXPECT_EQ(Text(window.DateLabel(kind.number)), "Updated: NEVER");
            MakeOfficeRows(office.layout.claimsDir, kind);
            stored[kind.number] = Families(office.layout.claimsDir, kind);
        }
        SaveScreenshot(window, "aux_files_new.png");

        // What the window shows whenever the session waits for the server. A request always
        // waits at least once: its answer cannot be there before it has been sent.
        std::vector<std::string> statusWhileSending;
        std::vector<bool> hourglassWhileSending;
        office.session.SetIdleHook([&] {
            statusWhileSending.push_back(Text(window.StatusLine()));
            const QCursor* cursor = QApplication::overrideCursor();
            hourglassWhileSending.push_back(cursor != nullptr && cursor->shape() == Qt::WaitCursor);
        });
        for (const auxfiles::AuxKind& kind : auxfiles::AuxKinds()) {
            SCOPED_TRACE(kind.code);
            statusWhileSending.clear();
            hourglassWhileSending.clear();
            QTest::mouseClick(window.PutButton(kind.number), Qt::LeftButton);
            ASSERT_FALSE(statusWhileSending.empty());
            for (std::size_t i = 0; i < statusWhileSending.size(); ++i) {
                EXPECT_EQ(statusWhileSending[i], std::string(" Storing Auxiliary File: ") + kind.statusWord);
                EXPECT_TRUE(hourglassWhileSending[i]);
            }
            // A Put enables Get, though the server's list was never shown in this window.
            EXPECT_TRUE(window.GetButton(kind.number)->isEnabled());
            EXPECT_EQ(Text(window.DateLabel(kind.number)), "Updated : 03/04/2026");
            EXPECT_EQ(Text(window.StatusLine()), " Idle");
        }
        EXPECT_TRUE(office.notice.messages.empty()) << office.notice.messages.front().text;
        EXPECT_TRUE(office.TransferFiles().empty());
        SaveScreenshot(window, "aux_files_after_put.png");
    }

    Desk laptop(tree, "laptop", server.BaseUrl());
    const auto listed = auxfiles::ParseAuxList(warehouse::AuxGetList(laptop.session));
    ASSERT_TRUE(listed.has_value());
    ASSERT_EQ(listed->size(), 8u);
    Tfrm_AUXStatus window(laptop.env, laptop.session, laptop.notice);
    window.ShowServerDates(*listed);
    window.show();
    const text::DateParts today = text::DecodeDateTime(text::SystemClock().Now());
    char serverDate[16];
    std::snprintf(serverDate, sizeof serverDate, "%02d/%02d/%04d", today.month, today.day, today.year);
    std::vector<std::string> statusWhileFetching;
    laptop.session.SetIdleHook([&] { statusWhileFetching.push_back(Text(window.StatusLine())); });
    for (const auxfiles::AuxKind& kind : auxfiles::AuxKinds()) {
        SCOPED_TRACE(kind.code);
        EXPECT_EQ(Text(window.DateLabel(kind.number)), std::string("Updated: ") + serverDate);
        ASSERT_TRUE(window.GetButton(kind.number)->isEnabled());
        EXPECT_NE(Families(laptop.layout.claimsDir, kind), stored[kind.number]);
        fs::remove(laptop.layout.claimsDir + "/Updates/force.txt");
        statusWhileFetching.clear();
        QTest::mouseClick(window.GetButton(kind.number), Qt::LeftButton);
        ASSERT_FALSE(statusWhileFetching.empty());
        for (const std::string& status : statusWhileFetching) {
            EXPECT_EQ(status, std::string(" Retrieving Auxilliary File: ") + kind.statusWord);
        }
        EXPECT_EQ(Families(laptop.layout.claimsDir, kind), stored[kind.number]);
        EXPECT_TRUE(fs::exists(laptop.layout.claimsDir + "/Updates/force.txt"));
        EXPECT_EQ(Text(window.StatusLine()), " Idle");
    }
    EXPECT_TRUE(laptop.notice.messages.empty()) << laptop.notice.messages.front().text;
    EXPECT_TRUE(laptop.TransferFiles().empty());
    EXPECT_EQ(test::ReadFile(laptop.layout.claimsDir + "/Updates/force.txt"), "");
    SaveScreenshot(window, "aux_files_from_server.png");
}

TEST_F(AuxStatusFormTest, FailedTransfersSayWhatWentWrongAndLeaveNothingBehind)
{
    Desk desk(tree, "desk", server.BaseUrl());
    const std::string claimsDir = desk.layout.claimsDir;
    Tfrm_AUXStatus window(desk.env, desk.session, desk.notice);
    window.show();
    std::vector<std::string> statusAtMessage;
    desk.notice.onMessage = [&](const auto&) { statusAtMessage.push_back(Text(window.StatusLine())); };

    // A Get of a kind the server does not hold: the box, the local tables untouched, the marker
    // written all the same, no transfer file left.
    const auxfiles::AuxKind& fee = auxfiles::AuxKindByNumber(7);
    const auto feeBefore = Families(claimsDir, fee);
    window.GetButton(7)->setEnabled(true);
    QTest::mouseClick(window.GetButton(7), Qt::LeftButton);
    ASSERT_EQ(desk.notice.messages.size(), 1u);
    EXPECT_EQ(desk.notice.messages[0].kind, MessageKind::Information);
    EXPECT_EQ(desk.notice.messages[0].text,
              "Error Retrieving Auxiliary File\r\nServer Response : " + desk.session.LastServerMessage());
    EXPECT_FALSE(desk.session.LastServerMessage().empty());
    EXPECT_EQ(statusAtMessage, std::vector<std::string> { " Retrieving Auxilliary File: Fee Schedule" });
    EXPECT_EQ(Families(claimsDir, fee), feeBefore);
    EXPECT_TRUE(fs::exists(claimsDir + "/Updates/force.txt"));
    EXPECT_TRUE(desk.TransferFiles().empty());
    EXPECT_EQ(Text(window.StatusLine()), " Idle");

    // Appointments that cannot be packed (the transfer folder is gone): the builder's own box,
    // then the window's, with the kind's status word; nothing is sent.
    desk.notice.messages.clear();
    statusAtMessage.clear();
    fs::remove_all(desk.env.LocalWarehouseDir());
    QTest::mouseClick(window.PutButton(5), Qt::LeftButton);
    ASSERT_EQ(desk.notice.messages.size(), 2u);
    EXPECT_EQ(desk.notice.messages[0].kind, MessageKind::Error);
    EXPECT_EQ(desk.notice.messages[1].kind, MessageKind::Information);
    EXPECT_EQ(desk.notice.messages[1].text, "Unable to build Appointment Book File for Transfer");
    EXPECT_EQ(statusAtMessage.back(), " Storing Auxiliary File: Appointment Book");
    EXPECT_FALSE(window.GetButton(5)->isEnabled());
    EXPECT_EQ(Text(window.DateLabel(5)), "Updated: NEVER");
    EXPECT_EQ(warehouse::AuxGetList(desk.session), "[]");
    desk.env.PrepareLocalFolders();

    // Without the product's Updates folder the marker cannot be written: said, and the window
    // is idle again.
    desk.notice.messages.clear();
    fs::remove_all(claimsDir + "/Updates");
    QTest::mouseClick(window.GetButton(7), Qt::LeftButton);
    ASSERT_EQ(desk.notice.messages.size(), 2u);
    EXPECT_EQ(desk.notice.messages[1].kind, MessageKind::Error);
    EXPECT_NE(desk.notice.messages[1].text.find("force.txt"), std::string::npos) << desk.notice.messages[1].text;
    EXPECT_EQ(Text(window.StatusLine()), " Idle");
}

TEST_F(AuxStatusFormTest, ARefusedPutShowsTheServersMessageAndChangesNothing)
{
    struct Case
    {
        const char* name;
        std::string base; // the scripted warehouse's answer to the Put
        std::string shown; // what follows "Server Response : "
    };
    const std::string scripted = test::SharedScriptedServer().BaseUrl();
    const Case cases[] = {
        { "refused with a message", scripted + "/mini?auxput=%7B%22msg%22%3A%22Company%20storage%20is%20full%22%7D&x=",
          "Company storage is full" },
        { "not a JSON object", scripted + "/mini?auxput=Rejected&x=", "Rejected" },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Desk desk(tree, "refused" + std::to_string(++n), c.base);
        Tfrm_AUXStatus window(desk.env, desk.session, desk.notice);
        window.show();
        // A press on another button while the box is up is ignored: one transfer at a time.
        desk.notice.onMessage = [&](const auto&) { QTest::mouseClick(window.PutButton(2), Qt::LeftButton); };
        QTest::mouseClick(window.PutButton(1), Qt::LeftButton);
        ASSERT_EQ(desk.notice.messages.size(), 1u);
        EXPECT_EQ(desk.notice.messages[0].text, "Error Saving Auxiliary File\r\nServer Response : " + c.shown);
        EXPECT_FALSE(window.GetButton(1)->isEnabled());
        EXPECT_EQ(Text(window.DateLabel(1)), "Updated: NEVER");
        EXPECT_EQ(Text(window.DateLabel(2)), "Updated: NEVER");
        EXPECT_TRUE(desk.TransferFiles().empty());
    }

    // The Put request itself fails (a wrong password): the failure's own text.
    Desk desk(tree, "wrongpassword", server.BaseUrl());
    desk.session.SetSessionCredentials(std::string(kCompany) + "/" + kUser, "wrong");
    Tfrm_AUXStatus window(desk.env, desk.session, desk.notice);
    QTest::mouseClick(window.PutButton(8), Qt::LeftButton);
    ASSERT_EQ(desk.notice.messages.size(), 1u);
    EXPECT_EQ(desk.notice.messages[0].text,
              "Error Saving Auxiliary File\r\nServer Response : " + desk.session.LastServerMessage());
    EXPECT_NE(desk.session.LastServerMessage().find("401"), std::string::npos) << desk.session.LastServerMessage();
    SaveScreenshot(window, "aux_files_refused.png");
}
