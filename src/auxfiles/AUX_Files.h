#pragma once

#include <QDialog>
#include <array>
#include <map>
#include <string>

class QLabel;
class QPushButton;

namespace wh {
class UserNotice;
}
namespace wh::env {
class WarehouseEnv;
}
namespace wh::warehouse {
class WarehouseSession;
}

namespace wh::auxfiles {

// The auxiliary files window: one row per reference database, Get replaces the local copy by the
// server's, Put stores the local copy on the server. The packing and the transfers live in the
// core; this window shows the rows and says what it is doing.
class Tfrm_AUXStatus : public QDialog
{
    Q_OBJECT

public:
    Tfrm_AUXStatus(env::WarehouseEnv& env, warehouse::WarehouseSession& session, UserNotice& notice,
                   QWidget* parent = nullptr);
    ~Tfrm_AUXStatus() override;

    // The server's dates by kind number (as MM/DD/YYYY): each listed kind's label shows its date
    // and its Get button is enabled.
    void ShowServerDates(const std::map<int, std::string>& shownByKind);

    // The shared handlers of the eight Get and the eight Put buttons; the kind is the button's tag.
    void BtnGetPHBClick(QObject* sender);
    void BtnPutPHBClick(QObject* sender);

    // The row controls of kind 1 to 8, and the status line; for the tray command and the tests.
    QPushButton* GetButton(int kind) const;
    QPushButton* PutButton(int kind) const;
    QLabel* DateLabel(int kind) const;
    QLabel* StatusLine() const { return m_status; }
    QPushButton* OkButton() const { return m_ok; }

private:
    struct Row
    {
        QPushButton* get = nullptr;
        QLabel* caption = nullptr;
        QLabel* date = nullptr;
        QPushButton* put = nullptr;
    };

    class Press
    {
    public:
        explicit Press(Tfrm_AUXStatus& window);
        ~Press();
        Press(const Press&) = delete;
        Press& operator=(const Press&) = delete;

    private:
        Tfrm_AUXStatus& m_window;
    };

    void BuildControls();
    void SetStatus(const std::string& text);
    // The kind of a button's tag; 0 when the sender is no row button.
    static int KindOfSender(QObject* sender);

    env::WarehouseEnv& m_env;
    warehouse::WarehouseSession& m_session;
    UserNotice& m_notice;
    std::array<Row, 8> m_rows {};
    QPushButton* m_ok = nullptr;
    QLabel* m_status = nullptr;
    // The waits for the server let events in; a second press while one works is ignored, as the
    // session carries one request at a time.
    bool m_working = false;
};

} // namespace wh::auxfiles
