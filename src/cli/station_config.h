#pragma once
// station --config FILE: a line's set-up in one file under change control. The file is INI with
// one [station] section whose keys are the station's long options without their dashes
// ("port = /dev/ttyUSB0", once per port; "yes = true" for a flag; "update = FILE" for the
// update file). Its options come before the command line's, and an option the command line
// gives replaces all of the file's values of it.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quillon::cli {

/// The key of the update file (the station's one positional argument).
inline constexpr const char* kUpdateKey = "update";

/// The arguments with the options of --config FILE put in (and --config itself taken out);
/// the arguments as they are without --config. Nothing, with `error` (naming the file and its
/// line), when the file cannot be read or names what the station does not take.
/// `arguments` starts after the subcommand's name.
std::optional<std::vector<std::string>> WithStationConfig(const CLI::App& station, std::vector<std::string> arguments,
                                                          std::string& error);

/// The options in effect after a parse, as a --config file that gives the same run.
std::string EffectiveStationConfig(const CLI::App& station);

}  // namespace quillon::cli
