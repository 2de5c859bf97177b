#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "restore/ClaimSearch.h"

class QButtonGroup;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;

namespace wh {
class UserNotice;
}
namespace wh::env {
class UserPrefs;
class WarehouseEnv;
} // namespace wh::env
namespace wh::text {
class Clock;
}
namespace wh::warehouse {
class WarehouseSession;
}

namespace wh::restore {

// The claim search window: criteria in, the server's matching claims listed in a sortable grid,
// the selected rows handed to the download. The search and the download themselves live in the
// core; this window collects criteria and shows rows.
class Tfrm_ClaimSearch : public QDialog
{
    Q_OBJECT

public:
    // The grid's columns, left to right; Server Claim ID is hidden.
    enum Column {
        ColAdjLastName,
        ColClaimNumber,
        ColInsuredLastName,
        ColPolicyNumber,
        ColClaimUid,
        ColLossCity,
        ColLossState,
        ColLossZipcode,
        ColDateOfLoss,
        ColumnCount
    };

    // `privateDir` is the table engine's private folder, where restores stage their tables.
    Tfrm_ClaimSearch(env::WarehouseEnv& env, env::UserPrefs& prefs, warehouse::WarehouseSession& session,
                     UserNotice& notice, const text::Clock& clock, std::string privateDir, QWidget* parent = nullptr);
    ~Tfrm_ClaimSearch() override;

    // The field a column shows, as the sort preference stores it.
    static const char* FieldName(int column);

    // Handlers, named after the window's controls and events.
    void BBtnClearQueryClick();
    void BBtnShowAllClick();
    void BBtn_FindClaimClick();
    void exdbgdFindResultsTitleClick(int column);
    void exdbgdFindResultsDblClick();
    void DownloadSelectedClaims1Click();
    void BitBtn2Click();

    // The criteria as the boxes, list, pickers and radio group hold them now.
    ClaimSearchCriteria Criteria() const;

    // State the tests read.
    bool ResultTableOpen() const { return m_tableOpen; }
    bool PopupAttached() const { return m_popupAttached; }
    const std::string& SortFieldName() const { return m_sortFieldName; }
    QTableView* Grid() const { return m_grid; }
    QSortFilterProxyModel* GridModel() const { return m_proxy; }
    QMenu* PopupMenu() const { return m_popupMenu.get(); }
    QLabel* StatusLine() const { return m_status; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void BuildControls();
    void BuildGrid();
    void SetStatus(const QString& text);
    void CloseResultTable();
    void OpenResultTable(const std::vector<ClaimSearchRow>& rows);
    void exdbgdFindResultsMouseDown(Qt::MouseButton button, const QPoint& pos);
    void HeaderClicked(int column);

    env::WarehouseEnv& m_env;
    env::UserPrefs& m_prefs;
    warehouse::WarehouseSession& m_session;
    UserNotice& m_notice;
    const text::Clock& m_clock;
    std::string m_privateDir;

    std::string m_sortFieldName;
    bool m_tableOpen = false;
    bool m_popupAttached = false;
    // The grid's own ascending flag for title clicks, and the column it belongs to.
    bool m_ascending = true;
    int m_titleColumn = -1;
    bool m_shownOnce = false;

    QLineEdit* m_edtInsuredLast = nullptr;
    QLineEdit* m_edtAdjLast = nullptr;
    QLineEdit* m_edtPolicyNumber = nullptr;
    QLineEdit* m_edtClaimNumber = nullptr;
    QComboBox* m_cmbxDateBasedOn = nullptr;
    QDateEdit* m_magicDateEdit3 = nullptr;
    QDateEdit* m_magicDateEdit4 = nullptr;
    QButtonGroup* m_radioGroup1 = nullptr;
    QTableView* m_grid = nullptr;
    QStandardItemModel* m_model = nullptr;
    QSortFilterProxyModel* m_proxy = nullptr;
    QLabel* m_status = nullptr;
    std::unique_ptr<QMenu> m_popupMenu;
};

} // namespace wh::restore
