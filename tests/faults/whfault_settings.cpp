// Runs the tool's own routines for the writes that no whupload-cli command makes, so that the
// fault sweep can fail their file calls one by one:
//   whfault-settings settings SERVER NAME PASSWORD COMPANY USER ID
//       makes USER (ID) the chosen product user as the user picker's OK does, reads that user's
//       four warehouse settings as the settings dialog shows them, and stores them back as the
//       dialog does when it closes: a value given as "-" is one the user left as shown, any other
//       is one the user typed. A value that could not be read is stored only when typed;
//   whfault-settings log LINE...
//       appends the lines to the activity log as one group, as every command does.
// Exit 0 when everything was stored, 1 with the error on standard error otherwise, 2 on a usage
// error. The claims directory, local data folder and clock are the workstation's own.
#include <cstdio>
#include <string>
#include <vector>

#include "env/ActivityLog.h"
#include "env/UserNotice.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/text/Clock.h"

namespace {

// Message boxes and balloons go to standard error; every question is answered No.
class StderrNotice : public wh::UserNotice
{
public:
    void ShowMessage(wh::MessageKind, const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    bool AskYesNo(const std::string& text) override
    {
        std::fprintf(stderr, "%s\n(No)\n", text.c_str());
        return false;
    }
    void ShowBalloon(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void SetTrayState(wh::TrayState, const std::string&) override { }
    void SetTrayHint(const std::string&) override { }
    void SetBusyCursor(bool) override { }
};

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    StderrNotice notice;
    wh::text::SystemClock clock;
    wh::env::WarehouseEnv env(notice, clock, [] {});
    if (env.GetClaimsDir().empty()) {
        return 1; // the alias file's message has been shown
    }
    try {
        if (args.size() == 7 && args[0] == "settings") {
            env.PrepareLocalFolders();
            wh::env::UserPrefs prefs(env);
            prefs.SaveMachineUser(args[5], std::stoi(args[6]));
            const wh::env::UserPrefKey keys[]
                = { wh::env::kPrefWServer, wh::env::kPrefWName, wh::env::kPrefWPassWord, wh::env::kPrefWCompany };
            std::string shown[4];
            bool known[4] = { true, true, true, true };
            bool unreadable = false;
            try {
                for (int i = 0; i < 4; ++i) {
                    shown[i] = prefs.ReadStoredUserPref(keys[i]);
                }
            } catch (const wh::FileError& error) {
                std::fprintf(stderr, "Error: %s\n", error.what());
                unreadable = true;
                for (int i = 0; i < 4; ++i) {
                    shown[i].clear();
                    known[i] = false;
                }
            }
            try {
                shown[2] = wh::env::DecodePassword(shown[2]);
            } catch (const wh::Error&) {
                shown[2].clear();
                known[2] = false;
            }
            for (int i = 0; i < 4; ++i) {
                const bool typed = args[1 + i] != "-";
                if (!typed && !known[i]) {
                    continue;
                }
                const std::string& value = typed ? args[1 + i] : shown[i];
                if (i == 2) {
                    prefs.WritePassword(value);
                } else {
                    prefs.WriteUserPref(keys[i].key, value);
                }
            }
            return unreadable ? 1 : 0;
        }
        if (args.size() >= 2 && args[0] == "log") {
            wh::env::ActivityLog log(env);
            for (std::size_t i = 1; i < args.size(); ++i) {
                log.WriteStamped(args[i]);
            }
            return 0;
        }
    } catch (const wh::Error& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: whfault-settings settings SERVER NAME PASSWORD COMPANY USER ID | log LINE...\n");
    return 2;
}
