#include "env/Pick_User.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStandardItemModel>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include "app/QtUserNotice.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/paradox/Table.h"

namespace wh::env {
namespace {

constexpr const char* kPrompt
    = "Select the Korvan User used \r\nwhen uploading claims to the \r\nKorvan Data Warehouse.";
// The stored bytes of UserName, so the name handed on is exactly the table's, whatever the display
// made of it.
constexpr int kUserNameRole = Qt::UserRole + 2;
constexpr int kNameColumnWidth = 190;

QString Lines(const char* ansi)
{
    return app::FromAnsi(ansi).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

Tfrm_pick_name::Tfrm_pick_name(WarehouseEnv& env, UserPrefs& prefs, UserNotice& notice, QWidget* parent)
    : QDialog(parent)
    , m_env(env)
    , m_prefs(prefs)
    , m_notice(notice)
{
    setObjectName(QStringLiteral("frm_pick_name"));
    setWindowTitle(QStringLiteral("Select User"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    BuildControls();
    const QSize wanted = QSize(254, 306).expandedTo(minimumSizeHint());
    resize(wanted);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

Tfrm_pick_name::~Tfrm_pick_name() = default;

void Tfrm_pick_name::BuildControls()
{
    auto* label1 = new QLabel(Lines(kPrompt), this);
    label1->setObjectName(QStringLiteral("Label1"));
    label1->setAlignment(Qt::AlignCenter);

    m_model = new QStandardItemModel(0, 1, this);
    m_model->setObjectName(QStringLiteral("DataSource1"));
    m_model->setHorizontalHeaderItem(0, new QStandardItem(QStringLiteral("UserName")));

    m_grid = new QTableView(this);
    m_grid->setObjectName(QStringLiteral("DBGrid1"));
    m_grid->setModel(m_model);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setTabKeyNavigation(false);
    m_grid->setWordWrap(false);
    m_grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_grid->horizontalHeader()->setHighlightSections(false);
    m_grid->horizontalHeader()->setSectionsClickable(false);
    m_grid->setColumnWidth(0, kNameColumnWidth);
    // The row indicator: a narrow blank column beside the names.
    QHeaderView* indicator = m_grid->verticalHeader();
    indicator->setFixedWidth(12);
    indicator->setDefaultSectionSize(m_grid->fontMetrics().height() + 4);
    indicator->setSectionResizeMode(QHeaderView::Fixed);
    // The chosen row stays marked while the buttons have the focus.
    QPalette palette = m_grid->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    m_grid->setPalette(palette);
    m_grid->setFixedWidth(kNameColumnWidth + indicator->width()
                          + m_grid->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 2 * m_grid->frameWidth() + 2);

    auto* cancel
        = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("BitBtn1"));
    cancel->setAutoDefault(false);
    m_ok = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
    m_ok->setObjectName(QStringLiteral("BitBtn2"));
    m_ok->setDefault(true);
    m_ok->setEnabled(false);
    connect(cancel, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(m_ok, &QPushButton::clicked, this, [this] { BitBtn2Click(); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cancel);
    buttons->addStretch();
    buttons->addWidget(m_ok);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label1);
    layout->addWidget(m_grid, 1, Qt::AlignHCenter);
    layout->addLayout(buttons);

    setTabOrder(m_grid, cancel);
    setTabOrder(cancel, m_ok);
}

void Tfrm_pick_name::FormShow()
{
    const std::string claimsDir = m_env.GetClaimsDir();
    if (claimsDir.empty()) {
        throw TableError("The table CONTROL.DB cannot be opened: there is no claims directory.");
    }
    auto table = std::make_unique<paradox::Table>(claimsDir, "CONTROL.DB");
    table->Open(paradox::OpenMode::Shared);
    paradox::Field& userName = table->FieldByName("UserName");
    paradox::Field& userId = table->FieldByName("UserID");

    m_model->removeRows(0, m_model->rowCount());
    // Case is ignored for the accented letters of the code page too, not only for A to Z.
    const QString current = app::FromAnsi(m_env.CurrentUserName());
    int currentRow = -1;
    for (table->First(); !table->Eof(); table->Next()) {
        const std::string name = userName.AsText();
        const QString shown = app::FromAnsi(name);
        auto* item = new QStandardItem(shown);
        item->setData(QByteArray::fromStdString(name), kUserNameRole);
        item->setData(static_cast<int>(userId.AsInteger()), kUserIdRole);
        m_model->appendRow(item);
        m_model->setVerticalHeaderItem(m_model->rowCount() - 1, new QStandardItem(QString()));
        if (currentRow < 0 && shown.compare(current, Qt::CaseInsensitive) == 0) {
            currentRow = m_model->rowCount() - 1;
        }
    }
    m_tbl_Control = std::move(table);
    m_loaded = true;

    const bool hasRows = m_model->rowCount() > 0;
    // An empty table offers no user, so OK would store an empty name.
    m_ok->setEnabled(hasRows);
    if (hasRows) {
        const QModelIndex index = m_model->index(currentRow < 0 ? 0 : currentRow, 0);
        m_grid->setCurrentIndex(index);
        m_grid->scrollTo(index);
    }
    m_grid->setFocus();
}

void Tfrm_pick_name::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_loaded) {
        return;
    }
    // Shown without its owner having read the table first: read it now, and go away if it cannot
    // be read.
    try {
        FormShow();
    } catch (const Error& e) {
        m_notice.ShowMessage(MessageKind::Error, e.what());
        QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
    }
}

void Tfrm_pick_name::BitBtn2Click()
{
    const QModelIndex index = m_grid->currentIndex();
    if (!index.isValid()) {
        return;
    }
    const int id = index.data(kUserIdRole).toInt();
    const std::string name = index.data(kUserNameRole).toByteArray().toStdString();
    try {
        m_prefs.SaveMachineUser(name, id);
    } catch (const Error& e) {
        // The user is current already; only remembering the choice failed.
        m_notice.ShowMessage(MessageKind::Error, e.what());
        return;
    }
    accept();
}

void Tfrm_pick_name::BitBtn1Click()
{
    reject();
}

void Tfrm_pick_name::FormClose()
{
    m_tbl_Control.reset();
}

bool Tfrm_pick_name::TableOpen() const
{
    return m_tbl_Control && m_tbl_Control->IsOpen();
}

void Tfrm_pick_name::done(int result)
{
    FormClose();
    QDialog::done(result);
}

} // namespace wh::env
