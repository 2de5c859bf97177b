#include "env/Dwhpref.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "app/QtUserNotice.h"
#include "env/Pick_User.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"

namespace wh::env {
namespace {

// Every password character shows as "*", whatever mask the platform's style prefers.
class StarPasswordStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter) {
            return '*';
        }
        if (hint == SH_LineEdit_PasswordMaskDelay) {
            return 0;
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QLabel* RightLabel(const char* caption, const char* name, QWidget* parent)
{
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QLineEdit* Edit(const char* name, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

} // namespace

Tform_dwhpref::Tform_dwhpref(WarehouseEnv& env, UserPrefs& prefs, UserNotice& notice, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
    , m_env(env)
    , m_prefs(prefs)
    , m_notice(notice)
{
    setObjectName(QStringLiteral("form_dwhpref"));
    setWindowTitle(QStringLiteral("Warehouse Settings"));
    setFont(QFont(QStringLiteral("Arial"), 9));
    BuildControls();
    // A font wider than Arial (where Arial is missing) may need more room than the usual size.
    setFixedSize(QSize(564, 280).expandedTo(minimumSizeHint()));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

Tform_dwhpref::~Tform_dwhpref()
{
    FormDestroy();
}

void Tform_dwhpref::BuildControls()
{
    auto* label5 = new QLabel(QStringLiteral("KORVAN Data Warehouse Information"), this);
    label5->setObjectName(QStringLiteral("Label5"));
    label5->setAlignment(Qt::AlignCenter);
    QFont heading = font();
    heading.setBold(true);
    heading.setPointSize(12);
    label5->setFont(heading);

    QLabel* label2 = RightLabel("Korvan User", "Label2", this);
    m_label6 = new QLabel(this);
    m_label6->setObjectName(QStringLiteral("Label6"));
    QFont userFont = font();
    userFont.setBold(true);
    m_label6->setFont(userFont);
    auto* selectUser = new QPushButton(QStringLiteral("Select User"), this);
    selectUser->setObjectName(QStringLiteral("BitBtn2"));
    selectUser->setAutoDefault(false);

    m_serverEdit = Edit("ServerEdit", this);
    m_nameEdit = Edit("NameEdit", this);
    m_passwordEdit = Edit("PasswordEdit", this);
    m_companyEdit = Edit("CompanyEdit", this);
    auto* maskStyle = new StarPasswordStyle;
    maskStyle->setParent(m_passwordEdit);
    m_passwordEdit->setStyle(maskStyle);
    m_passwordEdit->setEchoMode(QLineEdit::Password);

    auto* ok = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("BitBtn1"));
    // Enter in any edit closes the dialog as OK does.
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(selectUser, &QPushButton::clicked, this, [this] { BitBtn2Click(); });

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(8);
    grid->setColumnMinimumWidth(0, 130);
    grid->setColumnStretch(1, 1);
    grid->addWidget(label2, 0, 0);
    grid->addWidget(m_label6, 0, 1);
    grid->addWidget(selectUser, 0, 2);
    const struct
    {
        const char* caption;
        const char* name;
        QLineEdit* edit;
    } rows[] = {
        { "Warehouse Server", "Label1", m_serverEdit },
        { "User Name", "Label3", m_nameEdit },
        { "Password", "Label7", m_passwordEdit },
        { "Company Name", "Label4", m_companyEdit },
    };
    int row = 1;
    for (const auto& entry : rows) {
        QLabel* label = RightLabel(entry.caption, entry.name, this);
        label->setBuddy(entry.edit);
        grid->addWidget(label, row, 0);
        grid->addWidget(entry.edit, row, 1, 1, 2);
        ++row;
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 14, 24, 14);
    layout->addWidget(label5);
    layout->addSpacing(6);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addWidget(ok, 0, Qt::AlignHCenter);

    setTabOrder(m_serverEdit, m_nameEdit);
    setTabOrder(m_nameEdit, m_passwordEdit);
    setTabOrder(m_passwordEdit, m_companyEdit);
    setTabOrder(m_companyEdit, ok);
    setTabOrder(ok, selectUser);
}

void Tform_dwhpref::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_filled) {
        FormShow();
        m_serverEdit->setFocus();
    }
}

void Tform_dwhpref::FormShow()
{
    FillEdits();
}

void Tform_dwhpref::FillEdits()
{
    m_label6->setText(app::FromAnsi(m_env.CurrentUserName()));
    std::string server;
    std::string name;
    std::string storedPassword;
    std::string company;
    std::string readError;
    try {
        server = m_prefs.ReadStoredUserPref(kPrefWServer);
        name = m_prefs.ReadStoredUserPref(kPrefWName);
        storedPassword = m_prefs.ReadStoredUserPref(kPrefWPassWord);
        company = m_prefs.ReadStoredUserPref(kPrefWCompany);
        m_settingsUnreadable = false;
    } catch (const FileError& e) {
        // Unknown settings show as empty edits, and only what the user types over them is saved.
        m_settingsUnreadable = true;
        readError = e.what();
        server.clear();
        name.clear();
        storedPassword.clear();
        company.clear();
    }
    m_serverEdit->setText(app::FromAnsi(server));
    m_nameEdit->setText(app::FromAnsi(name));
    m_passwordUnreadable = false;
    try {
        m_passwordEdit->setText(app::FromAnsi(DecodePassword(storedPassword)));
    } catch (const Error&) {
        m_passwordUnreadable = true;
        m_passwordEdit->clear();
    }
    m_companyEdit->setText(app::FromAnsi(company));
    m_filled = true;
    if (m_settingsUnreadable) {
        m_notice.ShowMessage(MessageKind::Error,
                             readError
                                 + "\r\nThe stored warehouse settings are left as they are; only what you type "
                                   "here is saved.");
    } else if (m_passwordUnreadable) {
        m_notice.ShowMessage(MessageKind::Information,
                             "The warehouse password stored for the Korvan user " + m_env.CurrentUserName()
                                 + " cannot be read.\r\nPlease type the password again. Until you do, the stored "
                                   "password is left as it is.");
    }
}

void Tform_dwhpref::BitBtn1Click()
{
    accept();
}

void Tform_dwhpref::BitBtn2Click()
{
    const std::string userBefore = m_env.CurrentUserName();
    Tfrm_pick_name picker(m_env, m_prefs, m_notice, this);
    try {
        picker.FormShow();
    } catch (const Error& e) {
        // No table, no picker: the dialog stays as it was.
        m_notice.ShowMessage(MessageKind::Error, e.what());
        return;
    }
    const bool picked = picker.exec() == QDialog::Accepted;
    // A pick whose storing failed still changed the current user. The dialog follows the current
    // user in that case too, so that what it shows is what it will save, and for whom.
    if (picked || m_env.CurrentUserName() != userBefore) {
        FillEdits();
    }
}

void Tform_dwhpref::FormDestroy()
{
    // Only what the dialog showed goes back: nothing when it was never filled, and an edit that
    // started empty because its stored value could not be read (the whole file, or a password in
    // a wrong form) only when the user typed into it, so the blank edit never wipes the setting.
    if (!m_filled) {
        return;
    }
    // True for an edit that shows the stored value, or that the user typed into.
    const auto writeBack = [this](const QLineEdit* edit, bool unreadable) {
        return !(m_settingsUnreadable || unreadable) || edit->isModified();
    };
    if (writeBack(m_serverEdit, false)) {
        m_prefs.WriteUserPref(kPrefWServer.key, app::ToAnsi(m_serverEdit->text()));
    }
    if (writeBack(m_nameEdit, false)) {
        m_prefs.WriteUserPref(kPrefWName.key, app::ToAnsi(m_nameEdit->text()));
    }
    if (writeBack(m_passwordEdit, m_passwordUnreadable)) {
        m_prefs.WriteUserPref(kPrefWPassWord.key, EncodePassword(app::ToAnsi(m_passwordEdit->text())));
    }
    if (writeBack(m_companyEdit, false)) {
        m_prefs.WriteUserPref(kPrefWCompany.key, app::ToAnsi(m_companyEdit->text()));
    }
}

} // namespace wh::env
