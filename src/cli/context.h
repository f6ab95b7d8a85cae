#pragma once
// What every subcommand starts from: where the programs, the settings file and the log are,
// made once in main() and handed to each command. Every path crosses into the file system
// through Utf8Path.

#include <string>
#include <vector>

#include "base/program_paths.h"
#include "settings/update_settings.h"

namespace quillon::cli {

struct Context {
  ProgramPaths paths;

  /// The settings file a command reads: `ini` when given, else the one in use.
  std::string IniPath(const std::string& ini) const { return ini.empty() ? paths.IniPath : ini; }
  /// The log a command writes to: `log` when given, else the one in use.
  std::string LogPath(const std::string& log) const { return log.empty() ? paths.StsPath : log; }
  /// The run records a command reads: `record` when given, else quillon-runs.db beside the log.
  std::string RecordsPath(const std::string& record, const std::string& log) const;
  /// The log's folder is made on first write only for an installed copy's own log.
  bool MakeLogFolder(const std::string& log) const { return log.empty() && paths.Installed; }
  /// The settings record as the desktop program would load it, from IniPath(ini), with the
  /// program folder and the log filled in. With `ini`, a relative boot file is looked for
  /// beside that file first. `replaced`, when given, lists the file's values replaced.
  UpdateSettings LoadSettings(const std::string& ini, const std::string& log = {},
                              std::vector<SettingReplaced>* replaced = nullptr) const;
  /// Where this copy keeps the settings file and the log, in words for --help (true for the
  /// copy that prints them, and the same for every user of it).
  std::string IniPlace() const;
  std::string LogPlace() const;
};

/// The context of this program (its own paths).
Context MakeContext();

}  // namespace quillon::cli
