#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;

namespace wh {
class UserNotice;
}

namespace wh::env {

class UserPrefs;
class WarehouseEnv;

// The settings dialog: the warehouse server, user name, password and company of the current
// product user, and the way to pick another product user. Nothing is checked; the four settings
// are written to UserP.ini when the dialog is destroyed, however it was closed.
class Tform_dwhpref : public QDialog
{
    Q_OBJECT

public:
    Tform_dwhpref(WarehouseEnv& env, UserPrefs& prefs, UserNotice& notice, QWidget* parent = nullptr);
    // Writes the settings (FormDestroy).
    ~Tform_dwhpref() override;

    // Fills the dialog from the current user's settings; runs at the first show.
    void FormShow();
    // OK: closes the dialog with the result OK.
    void BitBtn1Click();
    // "Select User": the user picker; a picked user's settings replace what the edits hold.
    void BitBtn2Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void FillEdits();
    void FormDestroy();

    WarehouseEnv& m_env;
    UserPrefs& m_prefs;
    UserNotice& m_notice;
    bool m_filled = false;
    // UserP.ini could not be read, so the edits started empty rather than with the stored values.
    bool m_settingsUnreadable = false;
    // The shown user's stored password could not be decoded, so the password edit started empty.
    bool m_passwordUnreadable = false;

    QLabel* m_label6 = nullptr;
    QLineEdit* m_serverEdit = nullptr;
    QLineEdit* m_nameEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QLineEdit* m_companyEdit = nullptr;
};

} // namespace wh::env
