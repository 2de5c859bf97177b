#pragma once

#include <CLI/CLI.hpp>

namespace wh::cli {

// Each command family registers its subcommands on the application; the callbacks set the
// process's exit code through the returned reference.
void AddCheckCommand(CLI::App& app, int& exitCode);
void AddTableCommands(CLI::App& app, int& exitCode);
void AddClaimCommands(CLI::App& app, int& exitCode);
void AddRunCommand(CLI::App& app, int& exitCode);
void AddRestoreCommand(CLI::App& app, int& exitCode);
void AddSearchCommand(CLI::App& app, int& exitCode);
void AddAuxCommand(CLI::App& app, int& exitCode);
void AddTrustCommand(CLI::App& app, int& exitCode);

} // namespace wh::cli
