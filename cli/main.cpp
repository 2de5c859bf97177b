#include <CLI/CLI.hpp>

#include "Commands.h"

int main(int argc, char** argv)
{
    CLI::App app { "Warehouse Upload Tool, headless: runs the tool's jobs without a display" };
    app.require_subcommand(1);
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
