#include "cli/context.h"

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
  if (!paths.Installed) return "quillon.ini beside the programs";
#ifdef _WIN32
  return "%APPDATA%\\Quillon\\quillon.ini";
#else
  return "$XDG_CONFIG_HOME/quillon/quillon.ini, else ~/.config/quillon/quillon.ini";
#endif
}

std::string Context::LogPlace() const {
  if (!paths.Installed) return "quillon.sts beside the programs";
#ifdef _WIN32
  return "%LOCALAPPDATA%\\Quillon\\quillon.sts";
#else
  return "$XDG_STATE_HOME/quillon/quillon.sts, else ~/.local/state/quillon/quillon.sts";
#endif
}

Context MakeContext() { return Context{SharedProgramPaths()}; }

}  // namespace quillon::cli
