#include <CLI/CLI.hpp>

#include "Commands.h"
#include "support/version/Version.h"

int main(int argc, char** argv)
{
    CLI::App app { "Warehouse Upload Tool, headless: runs the tool's jobs without a display" };
    app.require_subcommand(1);
    app.set_version_flag("--version", wh::version::VersionLine("whupload-cli"), "Print the version and exit");
    int exitCode = 0;
    wh::cli::AddCheckCommand(app, exitCode);
    wh::cli::AddTableCommands(app, exitCode);
    wh::cli::AddClaimCommands(app, exitCode);
    wh::cli::AddRunCommand(app, exitCode);
    wh::cli::AddRestoreCommand(app, exitCode);
    wh::cli::AddSearchCommand(app, exitCode);
    wh::cli::AddAuxCommand(app, exitCode);
    wh::cli::AddTrustCommand(app, exitCode);
    CLI11_PARSE(app, argc, argv);
    return exitCode;
}
