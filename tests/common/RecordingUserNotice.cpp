#include "common/RecordingUserNotice.h"

namespace wh::test {

void RecordingUserNotice::ShowMessage(MessageKind kind, const std::string& text)
{
    messages.push_back({ kind, text });
    if (onMessage) {
        onMessage(messages.back());
    }
}

bool RecordingUserNotice::AskYesNo(const std::string& text)
{
    questions.push_back(text);
    if (m_answers.empty()) {
        return false;
    }
    const bool answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void RecordingUserNotice::ShowBalloon(const std::string& text)
{
    balloons.push_back(CutBalloonText(text));
}

void RecordingUserNotice::SetTrayState(TrayState state, const std::string& hint)
{
    trayState = state;
    trayHint = hint;
}

void RecordingUserNotice::SetTrayHint(const std::string& hint)
{
    trayHint = hint;
}

void RecordingUserNotice::SetBusyCursor(bool busy)
{
    busyCursor = busy;
}

} // namespace wh::test
