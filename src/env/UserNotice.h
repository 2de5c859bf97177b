#pragma once

#include <string>

namespace wh {

enum class MessageKind { Error, Information, Warning };

// The tray icon's states; the third image of the icon set is never shown.
enum class TrayState { Idle, Attention, Uploading };

// How the core talks to the user. The tray tool answers with real widgets, the headless tool on
// the terminal, and tests record what was shown and answer questions from a script. Every text
// is Windows-1252 bytes, as everywhere in the core.
class UserNotice
{
public:
    virtual ~UserNotice() = default;

    // A modal message box with an OK button.
    virtual void ShowMessage(MessageKind kind, const std::string& text) = 0;

    // A warning with Yes and No; true for Yes.
    virtual bool AskYesNo(const std::string& text) = 0;

    // A balloon at the tray icon (title "Warehouse Tool", information icon, 10 seconds). A new
    // balloon replaces the one on show.
    virtual void ShowBalloon(const std::string& text) = 0;

    // The tray icon's image and hint.
    virtual void SetTrayState(TrayState state, const std::string& hint) = 0;
    virtual void SetTrayHint(const std::string& hint) = 0;

    virtual void SetBusyCursor(bool busy) = 0;
};

// Balloon texts are cut to what the notification area can show.
constexpr std::size_t kBalloonTextLimit = 255;
constexpr std::size_t kBalloonTitleLimit = 63;
inline constexpr const char* kBalloonTitle = "Warehouse Tool";

inline std::string CutBalloonText(const std::string& text)
{
    return text.substr(0, kBalloonTextLimit);
}

} // namespace wh
