#include "restore/ClaimSearchForm.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/QtUserNotice.h"
#include "env/UserPrefs.h"
#include "restore/ClaimDownload.h"
#include "support/Errors.h"
#include "support/text/Clock.h"
#include "warehouse/WarehouseSession.h"

namespace wh::restore {
namespace {

// The role the grid sorts on: texts as shown (compared without regard to case), the date as
// yyyy-MM-dd so that text order is date order, the server id as a number.
constexpr int kSortRole = Qt::UserRole + 1;

struct ColumnSpec
{
    const char* field;
    const char* caption;
    int width; // 0: the grid's default
};

constexpr ColumnSpec kColumns[Tfrm_ClaimSearch::ColumnCount] = {
    { "Adj_LastName", "Adj Last Name", 120 },
    { "ClaimNumber", "Claim Number", 120 },
    { "Prim_Ins_LastName", "Insured Last Name", 120 },
    { "PolicyNumber", "Policy Number", 120 },
    { "ClaimUID", "Server Claim ID", 0 },
    { "loss_city", "Loss City", 100 },
    { "loss_state", "Loss State", 0 },
    { "loss_zipcode", "Loss Zipcode", 0 },
    { "DateOfLoss", "Date Of Loss", 90 },
};

QDate ToQDate(text::DateTime value)
{
    const text::DateParts parts = text::DecodeDateTime(value);
    return QDate(parts.year, parts.month, parts.day);
}

text::DateTime FromQDate(const QDate& date)
{
    return text::EncodeDateTime({ date.year(), date.month(), date.day() });
}

// The hourglass for as long as a handler works, whatever way it ends.
class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

class UpdatesSuspended
{
public:
    explicit UpdatesSuspended(QWidget* widget)
        : m_widget(widget)
    {
        m_widget->setUpdatesEnabled(false);
    }
    ~UpdatesSuspended() { m_widget->setUpdatesEnabled(true); }
    UpdatesSuspended(const UpdatesSuspended&) = delete;
    UpdatesSuspended& operator=(const UpdatesSuspended&) = delete;

private:
    QWidget* m_widget;
};

QStandardItem* TextItem(const std::string& ansi)
{
    const QString text = app::FromAnsi(ansi);
    auto* item = new QStandardItem(text);
    item->setData(text, kSortRole);
    return item;
}

QPushButton* Button(const char* caption, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

} // namespace

Tfrm_ClaimSearch::Tfrm_ClaimSearch(env::WarehouseEnv& env, env::UserPrefs& prefs, warehouse::WarehouseSession& session,
                                   UserNotice& notice, const text::Clock& clock, std::string privateDir,
                                   QWidget* parent)
    : QDialog(parent)
    , m_env(env)
    , m_prefs(prefs)
    , m_session(session)
    , m_notice(notice)
    , m_clock(clock)
    , m_privateDir(std::move(privateDir))
{
    setObjectName(QStringLiteral("frm_ClaimSearch"));
    setWindowTitle(QStringLiteral("Claim Search"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    BuildControls();
    resize(850, 561);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    FormCreate();
}

Tfrm_ClaimSearch::~Tfrm_ClaimSearch() = default;

const char* Tfrm_ClaimSearch::FieldName(int column)
{
    return column >= 0 && column < ColumnCount ? kColumns[column].field : "";
}

void Tfrm_ClaimSearch::BuildControls()
{
    auto* criteria = new QGroupBox(QStringLiteral("Warehouse Search Criteria"), this);
    criteria->setObjectName(QStringLiteral("GroupBox3"));
    auto* criteriaLayout = new QGridLayout(criteria);
    const auto addBox = [&](int row, const char* caption, const char* name) {
        auto* label = new QLabel(QString::fromLatin1(caption), criteria);
        auto* box = new QLineEdit(criteria);
        box->setObjectName(QString::fromLatin1(name));
        label->setBuddy(box);
        criteriaLayout->addWidget(label, row, 0);
        criteriaLayout->addWidget(box, row, 1);
        return box;
    };
    m_edtInsuredLast = addBox(0, "Insured Last:", "EdtInsuredLast");
    m_edtAdjLast = addBox(1, "Adjuster Last:", "EdtAdjLast");
    m_edtPolicyNumber = addBox(2, "Policy Number:", "EdtPolicyNumber");
    m_edtClaimNumber = addBox(3, "Claim Number:", "EdtClaimNumber");

    m_cmbxDateBasedOn = new QComboBox(criteria);
    m_cmbxDateBasedOn->setObjectName(QStringLiteral("cmbxDateBasedOn"));
    m_cmbxDateBasedOn->setEditable(false);
    for (const DateKindChoice& choice : DateKindChoices()) {
        m_cmbxDateBasedOn->addItem(QString::fromLatin1(choice.caption));
    }
    m_cmbxDateBasedOn->setCurrentIndex(0);
    m_magicDateEdit3 = new QDateEdit(criteria);
    m_magicDateEdit3->setObjectName(QStringLiteral("MagicDateEdit3"));
    m_magicDateEdit4 = new QDateEdit(criteria);
    m_magicDateEdit4->setObjectName(QStringLiteral("MagicDateEdit4"));
    for (QDateEdit* picker : { m_magicDateEdit3, m_magicDateEdit4 }) {
        picker->setCalendarPopup(true);
    }
    criteriaLayout->addWidget(new QLabel(QStringLiteral("Find Based On:"), criteria), 0, 2);
    criteriaLayout->addWidget(m_cmbxDateBasedOn, 0, 3);
    criteriaLayout->addWidget(new QLabel(QStringLiteral("between"), criteria), 1, 2);
    criteriaLayout->addWidget(m_magicDateEdit3, 1, 3);
    criteriaLayout->addWidget(new QLabel(QStringLiteral("and"), criteria), 2, 2);
    criteriaLayout->addWidget(m_magicDateEdit4, 2, 3);
    criteriaLayout->setColumnMinimumWidth(1, 150);
    criteriaLayout->setColumnMinimumWidth(3, 130);

    auto* options = new QGroupBox(QStringLiteral("Search Options"), this);
    options->setObjectName(QStringLiteral("RadioGroup1"));
    auto* optionsLayout = new QVBoxLayout(options);
    m_radioGroup1 = new QButtonGroup(this);
    const char* scopes[] = { "Search My Claims", "Search All Company Claims" };
    for (int index = 0; index < 2; ++index) {
        auto* radio = new QRadioButton(QString::fromLatin1(scopes[index]), options);
        m_radioGroup1->addButton(radio, index);
        optionsLayout->addWidget(radio);
    }
    m_radioGroup1->button(0)->setChecked(true);
    optionsLayout->addStretch();

    auto* top = new QHBoxLayout;
    top->addWidget(criteria);
    top->addWidget(options);
    top->addStretch();

    auto* label1 = new QLabel(QStringLiteral("Select Claim(s) to download"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    QPushButton* clearQuery = Button("Clear Query", "BBtnClearQuery", this);
    QPushButton* showAll = Button("Show All", "BBtnShowAll", this);
    QPushButton* findClaim = Button("Find Now", "BBtn_FindClaim", this);
    QPushButton* done = Button("Done", "BitBtn2", this);
    // An OK-kind button: Enter closes the window as it does any OK dialog.
    done->setDefault(true);
    connect(clearQuery, &QPushButton::clicked, this, [this] { BBtnClearQueryClick(); });
    connect(showAll, &QPushButton::clicked, this, [this] { BBtnShowAllClick(); });
    connect(findClaim, &QPushButton::clicked, this, [this] { BBtn_FindClaimClick(); });
    connect(done, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(label1);
    buttons->addStretch();
    for (QPushButton* button : { clearQuery, showAll, findClaim, done }) {
        buttons->addWidget(button);
    }

    BuildGrid();

    m_status = new QLabel(QStringLiteral(" Idle"), this);
    m_status->setObjectName(QStringLiteral("lblStatus"));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
    layout->addWidget(m_grid, 1);
    layout->addWidget(m_status);

    setTabOrder(m_edtInsuredLast, m_edtAdjLast);
    setTabOrder(m_edtAdjLast, m_edtPolicyNumber);
    setTabOrder(m_edtPolicyNumber, m_edtClaimNumber);
    setTabOrder(m_edtClaimNumber, m_cmbxDateBasedOn);
    setTabOrder(m_cmbxDateBasedOn, m_magicDateEdit3);
    setTabOrder(m_magicDateEdit3, m_magicDateEdit4);
}

void Tfrm_ClaimSearch::BuildGrid()
{
    m_model = new QStandardItemModel(0, ColumnCount, this);
    for (int column = 0; column < ColumnCount; ++column) {
        m_model->setHorizontalHeaderItem(column, new QStandardItem(QString::fromLatin1(kColumns[column].caption)));
    }
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setSortRole(kSortRole);
    m_proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
    m_proxy->setDynamicSortFilter(false);

    m_grid = new QTableView(this);
    m_grid->setObjectName(QStringLiteral("exdbgdFindResults"));
    m_grid->setModel(m_proxy);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setAlternatingRowColors(true);
    m_grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_grid->setWordWrap(false);
    // The grid sorts itself only through the title-click handler, which keeps the preference.
    m_grid->setSortingEnabled(false);
    QHeaderView* titles = m_grid->horizontalHeader();
    titles->setSectionsClickable(true);
    titles->setSortIndicatorShown(false);
    titles->setHighlightSections(false);
    for (int column = 0; column < ColumnCount; ++column) {
        // Without a width of its own a column is as wide as its title, so all of them fit.
        m_grid->setColumnWidth(
            column,
            kColumns[column].width > 0
                ? kColumns[column].width
                : titles->fontMetrics().horizontalAdvance(QString::fromLatin1(kColumns[column].caption)) + 16);
    }
    m_grid->setColumnHidden(ColClaimUid, true);
    connect(titles, &QHeaderView::sectionClicked, this, [this](int column) { HeaderClicked(column); });
    // The row indicator: a narrow blank column that marks the selected rows.
    QHeaderView* indicator = m_grid->verticalHeader();
    indicator->setFixedWidth(12);
    indicator->setDefaultSectionSize(m_grid->fontMetrics().height() + 4);
    indicator->setSectionResizeMode(QHeaderView::Fixed);

    connect(m_grid, &QTableView::doubleClicked, this, [this] { exdbgdFindResultsDblClick(); });
    m_grid->viewport()->installEventFilter(this);
    m_grid->installEventFilter(this);
    // No pop-up menu until the first right click after a search attaches it.
    m_grid->setContextMenuPolicy(Qt::PreventContextMenu);

    m_popupMenu = std::make_unique<QMenu>();
    m_popupMenu->setObjectName(QStringLiteral("FindResultsPopupMenu"));
    QAction* download = m_popupMenu->addAction(QStringLiteral("Download Claim(s)"));
    download->setObjectName(QStringLiteral("DownloadSelectedClaims1"));
    connect(download, &QAction::triggered, this, [this] { DownloadSelectedClaims1Click(); });
}

void Tfrm_ClaimSearch::FormCreate()
{
    m_sortFieldName = m_prefs.ReadUserPref(env::kPrefFindGridField);
}

void Tfrm_ClaimSearch::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_shownOnce) {
        m_shownOnce = true;
        FormShow();
    }
}

void Tfrm_ClaimSearch::FormShow()
{
    for (QDateEdit* picker : { m_magicDateEdit3, m_magicDateEdit4 }) {
        picker->setDisplayFormat(QStringLiteral("MM/dd/yyyy"));
    }
    // SetDefaultDateRange: from the first of this month to today.
    const text::DateTime today { std::floor(m_clock.Now().value) };
    m_magicDateEdit4->setDate(ToQDate(today));
    m_magicDateEdit3->setDate(ToQDate(FirstDayOfMonth(today)));
}

ClaimSearchCriteria Tfrm_ClaimSearch::Criteria() const
{
    ClaimSearchCriteria criteria;
    criteria.insuredLast = app::ToAnsi(m_edtInsuredLast->text());
    criteria.adjusterLast = app::ToAnsi(m_edtAdjLast->text());
    criteria.policyNumber = app::ToAnsi(m_edtPolicyNumber->text());
    criteria.claimNumber = app::ToAnsi(m_edtClaimNumber->text());
    criteria.dateKindIndex = m_cmbxDateBasedOn->currentIndex();
    criteria.startDate = FromQDate(m_magicDateEdit3->date());
    criteria.endDate = FromQDate(m_magicDateEdit4->date());
    criteria.scopeIndex = m_radioGroup1->checkedId();
    return criteria;
}

void Tfrm_ClaimSearch::SetStatus(const QString& text)
{
    m_status->setText(text);
    m_status->repaint();
}

void Tfrm_ClaimSearch::BBtnClearQueryClick()
{
    m_edtClaimNumber->clear();
    m_edtAdjLast->clear();
    m_edtPolicyNumber->clear();
    m_edtInsuredLast->clear();
}

void Tfrm_ClaimSearch::BBtnShowAllClick()
{
    BBtnClearQueryClick();
    BBtn_FindClaimClick();
}

void Tfrm_ClaimSearch::BBtn_FindClaimClick()
{
    {
        WaitCursor wait;
        UpdatesSuspended suspended(m_grid);
        SetStatus(QStringLiteral(" Retrieving Claim info matching search criteria"));
        CloseResultTable();
        try {
            if (const auto rows = RunClaimSearch(m_session, m_notice, Criteria())) {
                OpenResultTable(*rows);
            }
        } catch (const Error& e) {
            // The query file could not be kept: nothing was sent, and the grid stays empty.
            m_notice.ShowMessage(MessageKind::Error, e.what());
        }
        SetStatus(QStringLiteral(" "));
    }
}

void Tfrm_ClaimSearch::CloseResultTable()
{
    m_model->removeRows(0, m_model->rowCount());
    m_tableOpen = false;
}

void Tfrm_ClaimSearch::OpenResultTable(const std::vector<ClaimSearchRow>& rows)
{
    // A new search lists its rows in the server's order; the grid keeps its ascending flag.
    m_proxy->sort(-1);
    m_grid->horizontalHeader()->setSortIndicatorShown(false);
    m_model->setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const ClaimSearchRow& result = rows[static_cast<std::size_t>(row)];
        m_model->setItem(row, ColAdjLastName, TextItem(result.adjLastName));
        m_model->setItem(row, ColClaimNumber, TextItem(result.claimNumber));
        m_model->setItem(row, ColInsuredLastName, TextItem(result.primInsLastName));
        m_model->setItem(row, ColPolicyNumber, TextItem(result.policyNumber));
        auto* uid = new QStandardItem(QString::number(result.claimUid));
        uid->setData(result.claimUid, kSortRole);
        m_model->setItem(row, ColClaimUid, uid);
        m_model->setItem(row, ColLossCity, TextItem(result.lossCity));
        m_model->setItem(row, ColLossState, TextItem(result.lossState));
        m_model->setItem(row, ColLossZipcode, TextItem(result.lossZipcode));
        auto* date = new QStandardItem;
        if (result.dateOfLoss) {
            const QDate day = ToQDate(*result.dateOfLoss);
            date->setText(day.toString(QStringLiteral("MM/dd/yyyy")));
            date->setData(day.toString(Qt::ISODate), kSortRole);
        } else {
            date->setData(QString(), kSortRole);
        }
        m_model->setItem(row, ColDateOfLoss, date);
        m_model->setVerticalHeaderItem(row, new QStandardItem(QString()));
    }
    m_tableOpen = true;
    if (m_proxy->rowCount() > 0) {
        m_grid->selectionModel()->setCurrentIndex(m_proxy->index(0, ColAdjLastName), QItemSelectionModel::NoUpdate);
    }
}

void Tfrm_ClaimSearch::HeaderClicked(int column)
{
    // The grid's own flag: a first click on a title sorts ascending, the next on the same title
    // flips it.
    if (column == m_titleColumn) {
        m_ascending = !m_ascending;
    } else {
        m_titleColumn = column;
        m_ascending = true;
    }
    exdbgdFindResultsTitleClick(column);
}

void Tfrm_ClaimSearch::exdbgdFindResultsTitleClick(int column)
{
    WaitCursor wait;
    m_sortFieldName = FieldName(column);
    {
        UpdatesSuspended suspended(m_grid);
        const Qt::SortOrder order = m_ascending ? Qt::AscendingOrder : Qt::DescendingOrder;
        m_proxy->sort(column, order);
        QHeaderView* titles = m_grid->horizontalHeader();
        titles->setSortIndicator(column, order);
        titles->setSortIndicatorShown(true);
        if (m_proxy->rowCount() > 0) {
            m_grid->selectionModel()->setCurrentIndex(m_proxy->index(0, column), QItemSelectionModel::NoUpdate);
            m_grid->scrollToTop();
        }
    }
    m_prefs.WriteUserPref(env::kPrefFindGridField.key, m_sortFieldName);
}

bool Tfrm_ClaimSearch::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_grid->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            exdbgdFindResultsMouseDown(mouse->button(), mouse->position().toPoint());
            // A right click leaves the selection as it is: the menu acts on the selected rows.
            return true;
        }
    }
    // The keyboard's ways to the same: Enter on the grid is the double click, the menu key (or
    // Shift+F10) the right click on the current row.
    if (watched == m_grid && event->type() == QEvent::KeyPress && m_tableOpen) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            exdbgdFindResultsDblClick();
            return true;
        }
        if (key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            const QPoint at = m_grid->visualRect(m_grid->currentIndex()).center();
            exdbgdFindResultsMouseDown(Qt::RightButton, at);
            m_popupMenu->popup(m_grid->viewport()->mapToGlobal(at));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Tfrm_ClaimSearch::exdbgdFindResultsMouseDown(Qt::MouseButton button, const QPoint& pos)
{
    if (button != Qt::RightButton || !m_tableOpen) {
        return;
    }
    if (!m_grid->selectionModel()->hasSelection()) {
        const int row = m_grid->rowAt(pos.y());
        if (row >= 0) {
            m_grid->selectionModel()->setCurrentIndex(m_proxy->index(row, ColAdjLastName),
                                                      QItemSelectionModel::NoUpdate);
        }
    }
    if (!m_popupAttached) {
        m_popupAttached = true;
        m_grid->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(m_grid, &QWidget::customContextMenuRequested, this,
                [this](const QPoint& at) { m_popupMenu->popup(m_grid->viewport()->mapToGlobal(at)); });
    }
}

void Tfrm_ClaimSearch::exdbgdFindResultsDblClick()
{
    WaitCursor wait;
    std::vector<DownloadRow> rows;
    if (m_tableOpen) {
        QModelIndexList selected = m_grid->selectionModel()->selectedRows();
        std::sort(selected.begin(), selected.end(),
                  [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
        for (const QModelIndex& index : selected) {
            const int row = m_proxy->mapToSource(index).row();
            DownloadRow download;
            download.claimUid = m_model->item(row, ColClaimUid)->data(kSortRole).toInt();
            download.claimNumber = app::ToAnsi(m_model->item(row, ColClaimNumber)->text());
            download.policyNumber = app::ToAnsi(m_model->item(row, ColPolicyNumber)->text());
            rows.push_back(std::move(download));
        }
    }
    DownloadContext context { m_env, m_session, m_privateDir,
                              [this](const std::string& text) { SetStatus(app::FromAnsi(text)); } };
    try {
        DownloadClaims(context, rows);
    } catch (const Error& e) {
        SetStatus(QStringLiteral(" Idle"));
        m_notice.ShowMessage(MessageKind::Error, e.what());
    }
    QCoreApplication::processEvents();
}

void Tfrm_ClaimSearch::DownloadSelectedClaims1Click()
{
    exdbgdFindResultsDblClick();
}

void Tfrm_ClaimSearch::BitBtn2Click()
{
    accept();
}

} // namespace wh::restore
