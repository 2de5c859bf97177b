#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace wh::server {

// Takes the options of `app` that the command line left out from a configuration file: one
// "key = value" a line, the keys the long option names without "--", "#" starting a comment line.
// The command line wins over the file; an unknown key or a bad value names the file and line.
void ApplyConfigFile(CLI::App& app, const std::string& path);

} // namespace wh::server
