#pragma once
// Each subcommand adds itself to the application; its callback leaves the exit status.

#include <CLI/CLI.hpp>

namespace quillon::cli {

void AddInfoCommand(CLI::App& app, int& status);
void AddImageCommand(CLI::App& app, int& status);
void AddSettingsCommand(CLI::App& app, int& status);
void AddPortsCommand(CLI::App& app, int& status);
void AddFlashCommand(CLI::App& app, int& status);

}  // namespace quillon::cli
