// The claim search window in-process under the offscreen platform, driven through its widgets
// with real mouse events: searches against the scripted HTTPS server (whose answers a test writes)
// and a real warehouse-server, sorting by title clicks, the pop-up menu and the download of the
// selected rows. Screenshots go to the build folder's screenshots/ for anyone to look at.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ClaimsFixture.h"
#include "app/Screenshots.h"
#include "common/RecordingUserNotice.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "restore/ClaimSearchForm.h"
#include "support/json/Json.h"
#include "support/text/Clock.h"
#include "warehouse/WarehouseSession.h"

using namespace wh;
using restore::Tfrm_ClaimSearch;

using wh::test::SaveScreenshot;

namespace {

const std::string kFailed = "Error processing search query.\r\nServer Response ";
const std::string kNoResults
    = "Your search request produced no record results.\r\n\r\nPlease change your search criteria and try again.";
const std::string kDownloadFailed = "Error Downloading Claim File. Please contact Support";

std::string MoreThan(int total)
{
    return "Your search request produced a result with \r\nmore than " + std::to_string(total)
        + " records.\r\n\r\nOnly the first 50 will be displayed";
}

std::string UrlEncode(const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

struct Result
{
    int id;
    std::string policy;
    std::string claim;
    std::string dateOfLoss;
};

std::string Answer(int total, const std::vector<Result>& results)
{
    json::Value list = json::Value::array();
    for (const Result& result : results) {
        list.push_back({ { "id", result.id },
                         { "adjuster_lastname", "Adjuster" + std::to_string(result.id) },
                         { "insured_lastname", "Insured" + std::to_string(result.id) },
                         { "claim_num", result.claim },
                         { "policy_num", result.policy },
                         { "loss_city", "Austin" },
                         { "loss_state", "TX" },
                         { "loss_zipcode", "78701" },
                         { "date_of_loss", result.dateOfLoss } });
    }
    return json::Value { { "total", total }, { "results", list } }.dump();
}

std::string NumberedAnswer(int total, int count)
{
    std::vector<Result> results;
    for (int id = 1; id <= count; ++id) {
        results.push_back({ id, "POL-" + std::to_string(id), "CLM-" + std::to_string(id), "2025-03-05" });
    }
    return Answer(total, results);
}

// Four claims whose policy numbers sort differently with and without regard to case, and whose
// dates sort differently as dates and as shown text.
const std::vector<Result> kFour {
    { 11, "pol-B2", "CLM-3", "2024-01-05" },
    { 22, "POL-a1", "clm-1", "2023-12-31" },
    { 33, "pol-c3", "CLM-4", "2024-07-04" },
    { 44, "Pol-A0", "clm-2", "2024-7-4" },
};

class ClaimSearchFormTest : public ::testing::Test
{
protected:
    ClaimSearchFormTest()
        : dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
        , layout(fixtures::BuildClaimsDirectory({ .root = tree.Path("root"), .claims = 1 }))
        , programEnv("WHUPLOAD_PROGRAM_DIR", layout.programDir)
        , env(notice, clock, [] {})
        , prefs(env)
        , session(env)
    {
        env.PrepareLocalFolders();
        session.SetInactivityTimeout(std::chrono::seconds(10));
        form = std::make_unique<Tfrm_ClaimSearch>(env, prefs, session, notice, clock, tree.MakeDir("tmp/Warehouse"));
        form->show();
        QApplication::processEvents();
    }

    template <typename T> T* Child(const char* name) const
    {
        T* child = form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }

    // The next search meets `body` as a 200 answer.
    void Answering(const std::string& body)
    {
        session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/status/200?body=" + UrlEncode(body) + "&x=");
    }

    void Click(const char* button) { QTest::mouseClick(Child<QPushButton>(button), Qt::LeftButton); }

    void Search(const std::string& answer)
    {
        Answering(answer);
        Click("BBtn_FindClaim");
    }

    QTableView* Grid() const { return form->Grid(); }
    const QAbstractItemModel* Model() const { return form->GridModel(); }

    // The texts of one column, top to bottom, as the grid shows them.
    std::vector<std::string> ColumnTexts(int column) const
    {
        std::vector<std::string> texts;
        for (int row = 0; row < Model()->rowCount(); ++row) {
            texts.push_back(Model()->index(row, column).data().toString().toStdString());
        }
        return texts;
    }

    void ClickTitle(int column)
    {
        QHeaderView* titles = Grid()->horizontalHeader();
        const QPoint at(titles->sectionViewportPosition(column) + titles->sectionSize(column) / 2,
                        titles->height() / 2);
        QTest::mouseClick(titles->viewport(), Qt::LeftButton, {}, at);
    }

    QPoint RowPoint(int row) const
    {
        return { Grid()->columnViewportPosition(0) + 10, Grid()->rowViewportPosition(row) + 3 };
    }

    // A right click as the platform delivers it: the press, then the context-menu request.
    void RightClick(const QPoint& at)
    {
        QWidget* viewport = Grid()->viewport();
        QTest::mousePress(viewport, Qt::RightButton, {}, at);
        QContextMenuEvent request(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &request);
        QTest::mouseRelease(viewport, Qt::RightButton, {}, at);
        QApplication::processEvents();
    }

    std::string StoredSortField()
    {
        env::UserPrefs fresh(env);
        return fresh.ReadUserPref(env::kPrefFindGridField);
    }

    std::string KeptQuery() const { return test::ReadFile(layout.claimsDir + "/Warehouse/Uploads/ClaimSearch.json"); }

    std::vector<std::string> MessageTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& message : notice.messages) {
            texts.push_back(message.text);
        }
        return texts;
    }

    test::TempTree tree;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    fixtures::ClaimsDirLayout layout;
    test::ScopedEnv programEnv;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    env::WarehouseEnv env;
    env::UserPrefs prefs;
    warehouse::WarehouseSession session;
    std::unique_ptr<Tfrm_ClaimSearch> form;
};

} // namespace

TEST_F(ClaimSearchFormTest, OpensWithItsControlsInPlaceAndTheDatesOfThisMonth)
{
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Claim Search"));
    EXPECT_EQ(form->size(), QSize(850, 561));
    EXPECT_EQ(Child<QGroupBox>("GroupBox3")->title(), QStringLiteral("Warehouse Search Criteria"));
    EXPECT_EQ(Child<QGroupBox>("RadioGroup1")->title(), QStringLiteral("Search Options"));
    EXPECT_EQ(Child<QLabel>("Label1")->text(), QStringLiteral("Select Claim(s) to download"));
    EXPECT_EQ(Child<QLabel>("lblStatus")->text(), QStringLiteral(" Idle"));

    // The four boxes, each with its label, one after the other in tab order.
    const std::vector<std::pair<const char*, const char*>> boxes { { "EdtInsuredLast", "Insured Last:" },
                                                                   { "EdtAdjLast", "Adjuster Last:" },
                                                                   { "EdtPolicyNumber", "Policy Number:" },
                                                                   { "EdtClaimNumber", "Claim Number:" } };
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        QLineEdit* box = Child<QLineEdit>(boxes[i].first);
        bool labelled = false;
        for (const QLabel* label : form->findChildren<QLabel*>()) {
            labelled = labelled || (label->buddy() == box && label->text() == QString::fromLatin1(boxes[i].second));
        }
        EXPECT_TRUE(labelled) << boxes[i].first;
        if (i + 1 < boxes.size()) {
            QWidget* next = box->nextInFocusChain();
            while (next && next->focusPolicy() == Qt::NoFocus) {
                next = next->nextInFocusChain();
            }
            EXPECT_EQ(next, Child<QLineEdit>(boxes[i + 1].first)) << boxes[i].first;
        }
    }

    QComboBox* kinds = Child<QComboBox>("cmbxDateBasedOn");
    EXPECT_FALSE(kinds->isEditable());
    QStringList captions;
    for (int i = 0; i < kinds->count(); ++i) {
        captions << kinds->itemText(i);
    }
    EXPECT_EQ(captions,
              (QStringList { "Date of Loss", "Date Received", "Date Assigned", "Date Inspected", "Date Closed",
                             "Date 1st Uploaded", "Date Last Uploaded" }));
    EXPECT_EQ(kinds->currentIndex(), 0);

    // The clock says March 4 of 2026.
    QDateEdit* between = Child<QDateEdit>("MagicDateEdit3");
    QDateEdit* andDate = Child<QDateEdit>("MagicDateEdit4");
    EXPECT_EQ(between->displayFormat(), QStringLiteral("MM/dd/yyyy"));
    EXPECT_EQ(between->text(), QStringLiteral("03/01/2026"));
    EXPECT_EQ(andDate->text(), QStringLiteral("03/04/2026"));

    const QList<QRadioButton*> scopes = Child<QGroupBox>("RadioGroup1")->findChildren<QRadioButton*>();
    ASSERT_EQ(scopes.size(), 2);
    EXPECT_EQ(scopes[0]->text(), QStringLiteral("Search My Claims"));
    EXPECT_EQ(scopes[1]->text(), QStringLiteral("Search All Company Claims"));
    EXPECT_TRUE(scopes[0]->isChecked());

    for (const auto& [name, caption] :
         std::vector<std::pair<const char*, const char*>> { { "BBtnClearQuery", "Clear Query" },
                                                            { "BBtnShowAll", "Show All" },
                                                            { "BBtn_FindClaim", "Find Now" },
                                                            { "BitBtn2", "Done" } }) {
        EXPECT_EQ(Child<QPushButton>(name)->text(), QString::fromLatin1(caption));
    }

    // The grid's titles, widths and the hidden server id.
    struct Title
    {
        const char* caption;
        int width; // 0: not checked
        bool hidden;
    };
    const std::vector<Title> titles { { "Adj Last Name", 120, false },     { "Claim Number", 120, false },
                                      { "Insured Last Name", 120, false }, { "Policy Number", 120, false },
                                      { "Server Claim ID", 0, true },      { "Loss City", 100, false },
                                      { "Loss State", 0, false },          { "Loss Zipcode", 0, false },
                                      { "Date Of Loss", 90, false } };
    ASSERT_EQ(Model()->columnCount(), static_cast<int>(titles.size()));
    for (int column = 0; column < Model()->columnCount(); ++column) {
        const Title& title = titles[static_cast<std::size_t>(column)];
        EXPECT_EQ(Model()->headerData(column, Qt::Horizontal).toString(), QString::fromLatin1(title.caption));
        EXPECT_EQ(Grid()->isColumnHidden(column), title.hidden) << title.caption;
        if (title.width > 0) {
            EXPECT_EQ(Grid()->columnWidth(column), title.width) << title.caption;
        }
    }
    EXPECT_EQ(Grid()->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(Grid()->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_TRUE(Grid()->alternatingRowColors());
    EXPECT_EQ(Model()->rowCount(), 0);
    SaveScreenshot(*form, "claim_search_empty.png");
}

TEST_F(ClaimSearchFormTest, TheDescribedExampleQueryIsWhatTheRealServerReceives)
{
    test::WarehouseServerProcess server(tree.Path("server"));
    ASSERT_TRUE(server.AddUser("Sample Adjusting", "adjuster", "secret", 11, 22, 33, 44, 55));
    session.SetServerBase(server.BaseUrl());
    session.SetSessionCredentials("Sample Adjusting/adjuster", "secret");
    Child<QDateEdit>("MagicDateEdit3")->setDate(QDate(2025, 3, 1));
    Child<QDateEdit>("MagicDateEdit4")->setDate(QDate(2025, 3, 17));

    Click("BBtn_FindClaim");

    EXPECT_EQ(KeptQuery(),
              "{\"insured_lastname\":\"\",\"adjuster_lastname\":\"\",\"policy_num\":\"\",\"claim_num\":\"\","
              "\"date_range\":{\"field\":\"date_of_loss\",\"start_date\":\"2025-03-01\",\"end_date\":\"2025-03-17\"},"
              "\"option\":{\"search_scope\":\"user\"}}");
    // The server read the query (a query it cannot read is refused, which is a failed search) and
    // found nothing for this user in that range.
    EXPECT_EQ(MessageTexts(), std::vector<std::string> { kNoResults });
    EXPECT_TRUE(form->ResultTableOpen());
    EXPECT_EQ(Model()->rowCount(), 0);
}

TEST_F(ClaimSearchFormTest, TheTotalDecidesTheMessageAndEveryResultIsListed)
{
    struct Case
    {
        int total;
        int count;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases {
        { 120, 50, { MoreThan(120) } }, { 3, 60, {} },  { 0, 0, { kNoResults } },
        { 51, 2, { MoreThan(51) } },    { 50, 50, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("total " + std::to_string(c.total) + ", " + std::to_string(c.count) + " results");
        notice.messages.clear();
        Search(NumberedAnswer(c.total, c.count));
        EXPECT_EQ(MessageTexts(), c.messages);
        for (const auto& message : notice.messages) {
            EXPECT_EQ(message.kind, MessageKind::Information);
        }
        EXPECT_TRUE(form->ResultTableOpen());
        ASSERT_EQ(Model()->rowCount(), c.count);
        if (c.count > 0) {
            EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColPolicyNumber).back(), "POL-" + std::to_string(c.count));
        }
        EXPECT_EQ(form->StatusLine()->text(), QStringLiteral(" "));
    }
}

TEST_F(ClaimSearchFormTest, RowsShowTheAnswerFieldsAndDatesInTheShortForm)
{
    Search(Answer(4, kFour));
    ASSERT_EQ(Model()->rowCount(), 4);
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColAdjLastName),
              (std::vector<std::string> { "Adjuster11", "Adjuster22", "Adjuster33", "Adjuster44" }));
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColInsuredLastName)[0], "Insured11");
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColClaimUid), (std::vector<std::string> { "11", "22", "33", "44" }));
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColLossZipcode)[3], "78701");
    // 2024-7-4 is no yyyy-mm-dd date: it stays empty.
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColDateOfLoss),
              (std::vector<std::string> { "01/05/2024", "12/31/2023", "07/04/2024", "" }));
    SaveScreenshot(*form, "claim_search_results.png");
}

TEST_F(ClaimSearchFormTest, AFailedSearchAfterAGoodOneLeavesTheGridEmpty)
{
    Search(Answer(4, kFour));
    ASSERT_EQ(Model()->rowCount(), 4);
    notice.messages.clear();

    struct Case
    {
        std::string base;
        std::string after; // what follows the failure text
    };
    const std::vector<Case> cases {
        { test::SharedScriptedServer().BaseUrl() + "/status/200?body=not%20json&x=", "not json" },
        { test::SharedScriptedServer().BaseUrl() + "/status/200?body=%5B1%2C2%5D&x=", "[1,2]" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        Search(Answer(4, kFour));
        ASSERT_EQ(Model()->rowCount(), 4);
        notice.messages.clear();
        session.SetServerBase(c.base);
        Click("BBtn_FindClaim");
        ASSERT_EQ(notice.messages.size(), 1u);
        EXPECT_EQ(notice.messages[0].kind, MessageKind::Information);
        EXPECT_EQ(notice.messages[0].text, kFailed + c.after);
        EXPECT_FALSE(form->ResultTableOpen());
        EXPECT_EQ(Model()->rowCount(), 0);
        EXPECT_EQ(form->StatusLine()->text(), QStringLiteral(" "));
    }

    // An unreachable server: the failure text carries the client's error.
    Search(Answer(4, kFour));
    notice.messages.clear();
    session.SetServerBase("https://127.0.0.1:" + std::to_string(test::ClosedLoopbackPort()));
    Click("BBtn_FindClaim");
    ASSERT_EQ(notice.messages.size(), 1u);
    EXPECT_EQ(notice.messages[0].text.rfind(kFailed + "Error Code : ", 0), 0u) << notice.messages[0].text;
    EXPECT_EQ(Model()->rowCount(), 0);
}

TEST_F(ClaimSearchFormTest, TheHourglassAndTheSearchTextShowWhileTheServerIsAsked)
{
    std::vector<QString> statuses;
    std::vector<bool> hourglass;
    session.SetIdleHook([&] {
        statuses.push_back(form->StatusLine()->text());
        const QCursor* cursor = QApplication::overrideCursor();
        hourglass.push_back(cursor && cursor->shape() == Qt::WaitCursor);
    });
    // The stall only makes sure the request waits long enough for the hook to be called.
    session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/stall?seconds=0.4&x=");
    Click("BBtn_FindClaim");

    ASSERT_FALSE(statuses.empty());
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        EXPECT_EQ(statuses[i], QStringLiteral(" Retrieving Claim info matching search criteria"));
        EXPECT_TRUE(hourglass[i]);
    }
    EXPECT_EQ(MessageTexts(), std::vector<std::string> { kFailed + "late" });
    EXPECT_EQ(form->StatusLine()->text(), QStringLiteral(" "));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ClaimSearchFormTest, TitleClicksSortWithoutRegardToCaseAndKeepTheField)
{
    EXPECT_EQ(StoredSortField(), "Adj_LastName");
    Search(Answer(4, kFour));

    const std::vector<std::string> ascending { "Pol-A0", "POL-a1", "pol-B2", "pol-c3" };
    const std::vector<std::string> descending(ascending.rbegin(), ascending.rend());
    for (const auto& expected : { ascending, descending, ascending }) {
        ClickTitle(Tfrm_ClaimSearch::ColPolicyNumber);
        EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColPolicyNumber), expected);
        EXPECT_EQ(StoredSortField(), "PolicyNumber");
    }
    SaveScreenshot(*form, "claim_search_sorted.png");

    // Another title sorts its own column ascending, whatever the last one was; dates by date.
    ClickTitle(Tfrm_ClaimSearch::ColPolicyNumber); // descending now
    ClickTitle(Tfrm_ClaimSearch::ColDateOfLoss);
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColDateOfLoss),
              (std::vector<std::string> { "", "12/31/2023", "01/05/2024", "07/04/2024" }));
    EXPECT_EQ(StoredSortField(), "DateOfLoss");
    ClickTitle(Tfrm_ClaimSearch::ColClaimNumber);
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColClaimNumber),
              (std::vector<std::string> { "clm-1", "clm-2", "CLM-3", "CLM-4" }));
    EXPECT_EQ(StoredSortField(), "ClaimNumber");

    // A new search lists its rows in the server's order again.
    Search(Answer(4, kFour));
    EXPECT_EQ(ColumnTexts(Tfrm_ClaimSearch::ColClaimUid), (std::vector<std::string> { "11", "22", "33", "44" }));
}

TEST_F(ClaimSearchFormTest, ClearQueryEmptiesTheBoxesOnlyAndShowAllSearchesWithoutThem)
{
    Search(Answer(4, kFour));
    const std::vector<const char*> boxes { "EdtInsuredLast", "EdtAdjLast", "EdtPolicyNumber", "EdtClaimNumber" };
    const auto fill = [&] {
        for (const char* box : boxes) {
            Child<QLineEdit>(box)->setText(QStringLiteral("Smith"));
        }
        Child<QComboBox>("cmbxDateBasedOn")->setCurrentIndex(1);
        Child<QDateEdit>("MagicDateEdit3")->setDate(QDate(2024, 2, 1));
        Child<QDateEdit>("MagicDateEdit4")->setDate(QDate(2024, 2, 29));
        Child<QGroupBox>("RadioGroup1")->findChildren<QRadioButton*>()[1]->click();
    };
    fill();
    Click("BBtnClearQuery");
    for (const char* box : boxes) {
        EXPECT_TRUE(Child<QLineEdit>(box)->text().isEmpty()) << box;
    }
    EXPECT_EQ(Child<QComboBox>("cmbxDateBasedOn")->currentIndex(), 1);
    EXPECT_EQ(Child<QDateEdit>("MagicDateEdit3")->date(), QDate(2024, 2, 1));
    EXPECT_EQ(Child<QDateEdit>("MagicDateEdit4")->date(), QDate(2024, 2, 29));
    EXPECT_EQ(form->Criteria().scopeIndex, 1);
    EXPECT_EQ(Model()->rowCount(), 4);

    fill();
    Answering(NumberedAnswer(2, 2));
    Click("BBtnShowAll");
    for (const char* box : boxes) {
        EXPECT_TRUE(Child<QLineEdit>(box)->text().isEmpty()) << box;
    }
    EXPECT_EQ(KeptQuery(),
              "{\"insured_lastname\":\"\",\"adjuster_lastname\":\"\",\"policy_num\":\"\",\"claim_num\":\"\","
              "\"date_range\":{\"field\":\"date_received\",\"start_date\":\"2024-02-01\",\"end_date\":\"2024-02-29\"},"
              "\"option\":{\"search_scope\":\"company\"}}");
    EXPECT_EQ(Model()->rowCount(), 2);
}

TEST_F(ClaimSearchFormTest, ThePopupMenuComesWithTheFirstRightClickAfterASearchAndStays)
{
    RightClick(QPoint(20, 20));
    EXPECT_FALSE(form->PopupAttached());
    EXPECT_FALSE(form->PopupMenu()->isVisible());

    Search(Answer(4, kFour));
    ASSERT_FALSE(Grid()->selectionModel()->hasSelection());
    RightClick(RowPoint(2));
    EXPECT_TRUE(form->PopupAttached());
    ASSERT_TRUE(form->PopupMenu()->isVisible());
    const QList<QAction*> items = form->PopupMenu()->actions();
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0]->text(), QStringLiteral("Download Claim(s)"));
    // With nothing selected the row under the pointer becomes the current row, still unselected.
    EXPECT_EQ(Grid()->currentIndex().row(), 2);
    EXPECT_FALSE(Grid()->selectionModel()->hasSelection());

    QImage shot = form->grab().toImage();
    {
        QPainter painter(&shot);
        painter.drawImage(form->PopupMenu()->geometry().topLeft() - form->geometry().topLeft(),
                          form->PopupMenu()->grab().toImage());
    }
    SaveScreenshot(shot, "claim_search_menu.png");
    form->PopupMenu()->hide();

    // A failed search closes the table; the menu stays attached for the window's life.
    session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/status/200?body=x&x=");
    Click("BBtn_FindClaim");
    RightClick(QPoint(20, 20));
    EXPECT_TRUE(form->PopupMenu()->isVisible());
    form->PopupMenu()->hide();
}

TEST_F(ClaimSearchFormTest, DoubleClickAndTheMenuDownloadTheSelectedRows)
{
    Search(Answer(4, kFour));
    const std::string downloads = env.GetClaimsDir() + "/Warehouse/Downloads/";
    // Archives of this server break off after their ZIP signature: each download leaves its file
    // behind and reports that it failed, then goes on with the next row.
    session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/cutclaim?x=");
    notice.messages.clear();

    // A double click as widgets receive it: press, release, double click, release.
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, RowPoint(1));
    QTest::mouseDClick(Grid()->viewport(), Qt::LeftButton, {}, RowPoint(1));
    QTest::mouseRelease(Grid()->viewport(), Qt::LeftButton, {}, RowPoint(1));
    EXPECT_EQ(MessageTexts(), std::vector<std::string> { kDownloadFailed });
    for (const int id : { 11, 22, 33, 44 }) {
        EXPECT_EQ(std::filesystem::exists(downloads + std::to_string(id) + ".kvz"), id == 22) << id;
    }
    EXPECT_EQ(form->StatusLine()->text(), QStringLiteral(" Idle"));

    // Rows 0 and 2 chosen with the control key, then the menu item.
    notice.messages.clear();
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, RowPoint(0));
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowPoint(2));
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowPoint(3));
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowPoint(3)); // unselected again
    ASSERT_EQ(Grid()->selectionModel()->selectedRows().size(), 2);
    RightClick(RowPoint(1));
    ASSERT_TRUE(form->PopupMenu()->isVisible());
    EXPECT_EQ(Grid()->selectionModel()->selectedRows().size(), 2) << "a right click keeps the selection";
    form->PopupMenu()->actions()[0]->trigger();
    form->PopupMenu()->hide();
    EXPECT_EQ(MessageTexts(), (std::vector<std::string> { kDownloadFailed, kDownloadFailed }));
    for (const int id : { 11, 33, 44 }) {
        EXPECT_EQ(std::filesystem::exists(downloads + std::to_string(id) + ".kvz"), id != 44) << id;
    }
    EXPECT_EQ(form->StatusLine()->text(), QStringLiteral(" Idle"));
}

// Without a mouse: Find Now pressed with the space bar, the rows chosen with the arrow keys,
// Enter on the grid downloads them and the menu key opens the menu.
TEST_F(ClaimSearchFormTest, TheKeyboardAloneSearchesAndDownloads)
{
    Answering(Answer(4, kFour));
    auto* find = Child<QPushButton>("BBtn_FindClaim");
    ASSERT_NE(find, nullptr);
    EXPECT_NE(find->focusPolicy() & Qt::TabFocus, 0);
    find->setFocus();
    QTest::keyClick(find, Qt::Key_Space);
    ASSERT_TRUE(form->ResultTableOpen());
    ASSERT_EQ(Model()->rowCount(), 4);

    session.SetServerBase(test::SharedScriptedServer().BaseUrl() + "/cutclaim?x=");
    notice.messages.clear();
    Grid()->setFocus();
    QTest::keyClick(Grid(), Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(Grid(), Qt::Key_Down, Qt::ShiftModifier);
    ASSERT_EQ(Grid()->selectionModel()->selectedRows().size(), 2);
    QTest::keyClick(Grid(), Qt::Key_Return);
    EXPECT_EQ(MessageTexts(), (std::vector<std::string> { kDownloadFailed, kDownloadFailed }));
    EXPECT_TRUE(form->isVisible()) << "Enter on the grid must not close the window";

    QTest::keyClick(Grid(), Qt::Key_Menu);
    EXPECT_TRUE(form->PopupAttached());
    EXPECT_TRUE(form->PopupMenu()->isVisible());
    form->PopupMenu()->hide();
}

TEST_F(ClaimSearchFormTest, DoneClosesTheWindowWithOk)
{
    Click("BitBtn2");
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
}
