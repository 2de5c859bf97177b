#pragma once

namespace wh::cli {

// The exit codes of every whupload-cli command, so that a script can tell "try again later" from
// "call someone" without knowing which command it ran.
enum ExitCode : int {
    // The job is done: also a search that found nothing, a restore whose every claim was restored
    // or deliberately left alone, a trust with nothing to change, --help and --version.
    ExitDone = 0,
    // The job ran and failed or was refused: the server refused it or a transfer failed, a claim
    // could not be restored, a file could not be built or extracted, the question was answered No,
    // a local table or claim command failed on its input; "check" found the installation broken.
    ExitFailed = 1,
    // The job could not start: the command line is wrong, the settings are missing or unreadable,
    // the sign-in failed, the server cannot be reached or its key changed, or the installation is
    // incomplete (no claims directory, no ARCS table).
    ExitCannotStart = 2,
    // The job ran, but the server did not store some of the claims it was to; the next run tries
    // them again.
    ExitNotAllStored = 3,
};

// The table above for the help text.
inline constexpr const char* kExitCodeHelp = "Exit codes (every command):\n"
                                             "  0  done (also: a search that found nothing)\n"
                                             "  1  the job failed or was refused\n"
                                             "  2  the job could not start: wrong usage, settings missing or "
                                             "unreadable, sign-in failed,\n"
                                             "     server unreachable or its key changed, installation incomplete\n"
                                             "  3  the job ran, but some claims were not stored on the server";

} // namespace wh::cli
