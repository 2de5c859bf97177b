#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "env/UserNotice.h"

namespace wh::test {

// Records every text the core shows and answers Yes/No questions from a script (No when the
// script has run out, so a forgotten answer never approves anything).
class RecordingUserNotice : public UserNotice
{
public:
    struct Message
    {
        MessageKind kind;
        std::string text;
    };

    void ShowMessage(MessageKind kind, const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void ShowBalloon(const std::string& text) override;
    void SetTrayState(TrayState state, const std::string& hint) override;
    void SetTrayHint(const std::string& hint) override;
    void SetBusyCursor(bool busy) override;

    void AnswerNext(bool yes) { m_answers.push_back(yes); }

    // Called with each message as it is shown, for a look at the window behind the box.
    std::function<void(const Message&)> onMessage;

    std::vector<Message> messages;
    std::vector<std::string> questions;
    std::vector<std::string> balloons;
    TrayState trayState = TrayState::Idle;
    std::string trayHint = "Warehouse Upload Tool";
    bool busyCursor = false;

private:
    std::deque<bool> m_answers;
};

} // namespace wh::test
