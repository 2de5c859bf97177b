#include "auxfiles/AUX_Files.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "app/QtUserNotice.h"
#include "auxfiles/AuxArchive.h"
#include "auxfiles/AuxTransfer.h"
#include "env/UserNotice.h"
#include "support/Errors.h"

namespace wh::auxfiles {
namespace {

constexpr const char* kTagProperty = "tag";
constexpr const char* kIdle = " Idle";

// The controls' names, row by row in kind order: Get button, Put button, date label.
struct RowNames
{
    const char* get;
    const char* put;
    const char* date;
};
constexpr RowNames kRowNames[8] = {
    { "BtnGetPHB", "BtnPutPHB", "Label13" }, { "BtnGetAct", "BtnPutACT", "Label14" },
    { "BtnGetTPL", "BtnPutTPL", "Label15" }, { "BtnGetART", "BtnPutART", "Label16" },
    { "BtnGetAPT", "BtnPutAPT", "Label17" }, { "BtnGetDIA", "BtnPutDIA", "Label18" },
    { "BtnGetFEE", "BtnPutFEE", "Label20" }, { "BtnGetCDI", "BtnPutCDI", "lblCustomDBItemsUpdated" },
};

QLabel* BoldLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

} // namespace

Tfrm_AUXStatus::Tfrm_AUXStatus(env::WarehouseEnv& env, warehouse::WarehouseSession& session, UserNotice& notice,
                               QWidget* parent)
    : QDialog(parent)
    , m_env(env)
    , m_session(session)
    , m_notice(notice)
{
    setObjectName(QStringLiteral("frm_AUXStatus"));
    setWindowTitle(QStringLiteral("Korvan Auxiliary Files"));
    setFont(QFont(QStringLiteral("Arial"), 9));
    BuildControls();
    setFixedSize(547, 422);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

Tfrm_AUXStatus::~Tfrm_AUXStatus() = default;

void Tfrm_AUXStatus::BuildControls()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 20, 0, 0);

    auto* grid = new QGridLayout();
    grid->setContentsMargins(24, 0, 24, 0);
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(14);
    for (const AuxKind& kind : AuxKinds()) {
        const int index = kind.number - 1;
        Row& row = m_rows[index];
        row.get = new QPushButton(QStringLiteral("Get"), this);
        row.get->setObjectName(QString::fromLatin1(kRowNames[index].get));
        row.get->setEnabled(false);
        row.caption = BoldLabel(QString::fromLatin1(kind.rowCaption), this);
        row.date = BoldLabel(QString::fromLatin1(kNeverUpdated), this);
        row.date->setObjectName(QString::fromLatin1(kRowNames[index].date));
        row.put = new QPushButton(QStringLiteral("Put"), this);
        row.put->setObjectName(QString::fromLatin1(kRowNames[index].put));
        for (QPushButton* button : { row.get, row.put }) {
            button->setProperty(kTagProperty, kind.number);
            button->setAutoDefault(false);
            button->setFixedWidth(75);
        }
        connect(row.get, &QPushButton::clicked, this, [this, button = row.get] { BtnGetPHBClick(button); });
        connect(row.put, &QPushButton::clicked, this, [this, button = row.put] { BtnPutPHBClick(button); });
        grid->addWidget(row.get, index, 0);
        grid->addWidget(row.caption, index, 1);
        grid->addWidget(row.date, index, 2);
        grid->addWidget(row.put, index, 3);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
    outer->addLayout(grid);
    outer->addStretch();

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setObjectName(QStringLiteral("BitBtn1"));
    m_ok->setFixedWidth(75);
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* okRow = new QHBoxLayout();
    okRow->addStretch();
    okRow->addWidget(m_ok);
    okRow->addStretch();
    outer->addLayout(okRow);
    outer->addSpacing(10);

    m_status = new QLabel(QString::fromLatin1(kIdle), this);
    m_status->setObjectName(QStringLiteral("lblStatus"));
    m_status->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_status->setMinimumHeight(20);
    outer->addWidget(m_status);
}

void Tfrm_AUXStatus::ShowServerDates(const std::map<int, std::string>& shownByKind)
{
    for (const auto& [number, shown] : shownByKind) {
        if (number < 1 || number > 8) {
            continue;
        }
        m_rows[number - 1].date->setText(app::FromAnsi(kListedDatePrefix + shown));
        m_rows[number - 1].get->setEnabled(true);
    }
}

int Tfrm_AUXStatus::KindOfSender(QObject* sender)
{
    const int kind = sender ? sender->property(kTagProperty).toInt() : 0;
    return kind >= 1 && kind <= 8 ? kind : 0;
}

void Tfrm_AUXStatus::SetStatus(const std::string& text)
{
    m_status->setText(app::FromAnsi(text));
    // The status must be on screen before the transfer holds the window up.
    m_status->repaint();
}

void Tfrm_AUXStatus::BtnGetPHBClick(QObject* sender)
{
    const int number = KindOfSender(sender);
    if (number == 0 || m_working) {
        return;
    }
    const Press press(*this);
    const AuxKind& kind = AuxKindByNumber(number);
    SetStatus(std::string(" Retrieving Auxilliary File: ") + kind.statusWord);
    GetAuxKind(m_env, m_session, m_notice, kind);
}

void Tfrm_AUXStatus::BtnPutPHBClick(QObject* sender)
{
    const int number = KindOfSender(sender);
    if (number == 0 || m_working) {
        return;
    }
    const Press press(*this);
    const AuxKind& kind = AuxKindByNumber(number);
    SetStatus(std::string(" Storing Auxiliary File: ") + kind.statusWord);
    if (PutAuxKind(m_env, m_session, m_notice, kind)) {
        Row& row = m_rows[number - 1];
        row.get->setEnabled(true);
        row.date->setText(app::FromAnsi(kPutDatePrefix + TodayShortDate(m_env)));
    }
}

// One button press: the hourglass and the working state from start to end, then the window is
// idle again, whatever way the press ended.
Tfrm_AUXStatus::Press::Press(Tfrm_AUXStatus& window)
    : m_window(window)
{
    m_window.m_working = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

Tfrm_AUXStatus::Press::~Press()
{
    QApplication::restoreOverrideCursor();
    m_window.SetStatus(kIdle);
    m_window.m_working = false;
}

QPushButton* Tfrm_AUXStatus::GetButton(int kind) const
{
    return m_rows.at(kind - 1).get;
}

QPushButton* Tfrm_AUXStatus::PutButton(int kind) const
{
    return m_rows.at(kind - 1).put;
}

QLabel* Tfrm_AUXStatus::DateLabel(int kind) const
{
    return m_rows.at(kind - 1).date;
}

} // namespace wh::auxfiles
