#include <CLI/CLI.hpp>

#include "Commands.h"
#include "ExitCodes.h"
#include "support/version/Version.h"

int main(int argc, char** argv)
{
    CLI::App app { "Warehouse Upload Tool, headless: runs the tool's jobs without a display" };
    app.require_subcommand(1);
    app.set_version_flag("--version", wh::version::VersionLine("whupload-cli"), "Print the version and exit");
    app.footer(wh::cli::kExitCodeHelp);
    int exitCode = wh::cli::ExitDone;
    wh::cli::AddCheckCommand(app, exitCode);
    wh::cli::AddTableCommands(app, exitCode);
    wh::cli::AddClaimCommands(app, exitCode);
    wh::cli::AddRunCommand(app, exitCode);
    wh::cli::AddRestoreCommand(app, exitCode);
    wh::cli::AddSearchCommand(app, exitCode);
    wh::cli::AddAuxCommand(app, exitCode);
    wh::cli::AddTrustCommand(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // CLI11 prints the message; its own codes (105, 106, 109, ...) all mean wrong usage to a
        // script, while --help and --version are done.
        return app.exit(error) == 0 ? wh::cli::ExitDone : wh::cli::ExitCannotStart;
    }
    return exitCode;
}
