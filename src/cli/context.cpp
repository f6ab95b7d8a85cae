#include "cli/context.h"

#include "cli/console.h"
#include "settings/profile_store.h"

namespace quillon::cli {

UpdateSettings Context::LoadSettings(const std::string& ini, const std::string& log,
                                     std::vector<SettingReplaced>* replaced) const {
  UpdateSettings settings;
  settings.ProgramDir = paths.ProgramDir;
  settings.BesideProgramDir = paths.BesideProgramDir;
  if (!ini.empty()) {
    // A relative boot file goes with the settings file that names it: beside it first, then
    // where the program's own settings would look.
    const auto folder = Utf8Path(ini).parent_path().u8string() + u8"/";
    settings.BesideProgramDir = paths.BesideProgramDir.empty() ? paths.ProgramDir : paths.BesideProgramDir;
    settings.ProgramDir = std::string(folder.begin(), folder.end());
  }
  settings.IniPath = IniPath(ini);
  settings.StsPath = LogPath(log);
  quillon::LoadSettings(settings, *OpenProfileStore(Utf8Path(settings.IniPath)), replaced);
  return settings;
}

std::string Context::IniPlace() const {
  return paths.Installed ? InstalledIniPlace() : "quillon.ini beside the programs";
}

std::string Context::LogPlace() const {
  return paths.Installed ? InstalledLogPlace() : "quillon.sts beside the programs";
}

Context MakeContext() { return Context{SharedProgramPaths()}; }

std::string Context::RecordsPath(const std::string& record, const std::string& log) const {
  if (!record.empty()) return record;
  const auto path = (Utf8Path(LogPath(log)).parent_path() / "quillon-runs.db").u8string();
  return {path.begin(), path.end()};
}

}  // namespace quillon::cli
