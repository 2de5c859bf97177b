#pragma once

#include <QDialog>
#include <memory>

class QLabel;
class QPushButton;
class QStandardItemModel;
class QTableView;

namespace wh {
class UserNotice;
}
namespace wh::paradox {
class Table;
}

namespace wh::env {

class UserPrefs;
class WarehouseEnv;

// The user picker: lists the product users of CONTROL.DB in the claims directory and makes the
// chosen one the user the tool works for, remembered for this workstation user. Reads the table,
// never writes it.
class Tfrm_pick_name : public QDialog
{
    Q_OBJECT

public:
    // The role of the grid's items that holds the row's UserID.
    static constexpr int kUserIdRole = Qt::UserRole + 1;

    Tfrm_pick_name(WarehouseEnv& env, UserPrefs& prefs, UserNotice& notice, QWidget* parent = nullptr);
    ~Tfrm_pick_name() override;

    // Opens tbl_Control, lists its rows and moves to the current user's row. Raises the engine's
    // TableError when CONTROL.DB is missing or cannot be opened; the owner calls it before showing
    // the picker, so that a picker without a table never appears.
    void FormShow();
    // OK: the selected row's user becomes current and is stored; a failed store shows its error
    // and leaves the picker open.
    void BitBtn2Click();
    // Cancel: nothing is stored.
    void BitBtn1Click();
    void FormClose();

    bool TableOpen() const;
    QTableView* Grid() const { return m_grid; }

    // Every way of closing (OK, Cancel, Escape, the close box) ends here.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();

    WarehouseEnv& m_env;
    UserPrefs& m_prefs;
    UserNotice& m_notice;
    std::unique_ptr<paradox::Table> m_tbl_Control;
    bool m_loaded = false;

    QTableView* m_grid = nullptr;
    QStandardItemModel* m_model = nullptr;
    QPushButton* m_ok = nullptr;
};

} // namespace wh::env
