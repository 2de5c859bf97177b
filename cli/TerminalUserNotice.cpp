#include "TerminalUserNotice.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"

namespace wh::cli {
namespace {

// Message texts use CR LF line breaks; a terminal wants plain line feeds.
std::string ForTerminal(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out.push_back(text[i]);
    }
    return text::Win1252ToUtf8(out);
}

} // namespace

void TerminalUserNotice::ShowMessage(MessageKind kind, const std::string& text)
{
    const char* prefix = kind == MessageKind::Error ? "Error: " : kind == MessageKind::Warning ? "Warning: " : "";
    std::fprintf(stderr, "%s%s\n", prefix, ForTerminal(text).c_str());
}

bool TerminalUserNotice::AskYesNo(const std::string& text)
{
    std::fprintf(stderr, "%s\n", ForTerminal(text).c_str());
    if (!::isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "(no terminal to answer on: No)\n");
        return false;
    }
    std::fprintf(stderr, "[y/N] ");
    std::string answer;
    std::getline(std::cin, answer);
    answer = text::UpperCase(text::Trim(answer));
    return answer == "Y" || answer == "YES";
}

void TerminalUserNotice::ShowBalloon(const std::string& text)
{
    std::fprintf(stderr, "%s: %s\n", kBalloonTitle, ForTerminal(CutBalloonText(text)).c_str());
}

void TerminalUserNotice::SetTrayState(TrayState state, const std::string&)
{
    m_state = state;
}

void TerminalUserNotice::SetTrayHint(const std::string&) { }

void TerminalUserNotice::SetBusyCursor(bool) { }

} // namespace wh::cli
