#pragma once
// Each subcommand adds itself to the application; its callback leaves the exit status.

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>

#include "base/program_paths.h"
#include "cli/context.h"

namespace quillon::cli {

/// Turns a file option into an absolute path: the Windows profile functions look for a bare
/// name in the Windows folder, not in the current one, so "--ini s.ini" would read (and
/// --save write) C:\Windows\s.ini.
inline CLI::Validator AbsolutePath() {
  return CLI::Validator(
      [](std::string& value) {
        if (value.empty()) return std::string("is empty: name a file, or leave the option out");
        std::error_code error;
        const auto absolute = std::filesystem::absolute(Utf8Path(value), error);
        if (error) return "cannot make " + value + " an absolute path: " + error.message();
        const auto text = absolute.u8string();
        value.assign(text.begin(), text.end());
        return std::string();
      },
      "", "ABSOLUTE");
}

/// Refuses an empty value: an option that names a port, a stamp, a hash or a counter never
/// turns its feature off by being given as "".
inline CLI::Validator NotEmpty() {
  return CLI::Validator(
      [](const std::string& value) {
        return value.empty() ? std::string("is empty: give a value, or leave the option out") : std::string();
      },
      "", "NOT EMPTY");
}

/// Adds one subcommand; its callback leaves the exit status in `status`. The context outlives
/// the application.
using AddCommand = void (*)(CLI::App& app, const Context& context, int& status);

void AddInfoCommand(CLI::App& app, const Context& context, int& status);
void AddImageCommand(CLI::App& app, const Context& context, int& status);
void AddSettingsCommand(CLI::App& app, const Context& context, int& status);
void AddPortsCommand(CLI::App& app, const Context& context, int& status);
void AddFlashCommand(CLI::App& app, const Context& context, int& status);
void AddDoctorCommand(CLI::App& app, const Context& context, int& status);
void AddStationCommand(CLI::App& app, const Context& context, int& status);
void AddHistoryCommand(CLI::App& app, const Context& context, int& status);
void AddFleetCommand(CLI::App& app, const Context& context, int& status);
void AddPoolCommand(CLI::App& app, const Context& context, int& status);

}  // namespace quillon::cli
