#pragma once

#include "env/UserNotice.h"

namespace wh::cli {

// The user notices on a terminal: message boxes and balloons go to standard error, questions are
// asked on the terminal (answered No when there is no terminal to ask on), tray states are
// reported only when they call for attention.
class TerminalUserNotice : public UserNotice
{
public:
    void ShowMessage(MessageKind kind, const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void ShowBalloon(const std::string& text) override;
    void SetTrayState(TrayState state, const std::string& hint) override;
    void SetTrayHint(const std::string& hint) override;
    void SetBusyCursor(bool busy) override;

    TrayState State() const { return m_state; }

private:
    TrayState m_state = TrayState::Idle;
};

} // namespace wh::cli
