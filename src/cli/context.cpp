#include "cli/context.h"

#include "settings/profile_store.h"

namespace quillon::cli {

UpdateSettings Context::LoadSettings(const std::string& ini, const std::string& log) const {
  UpdateSettings settings;
  settings.ProgramDir = paths.ProgramDir;
  settings.BesideProgramDir = paths.BesideProgramDir;
  settings.IniPath = IniPath(ini);
  settings.StsPath = LogPath(log);
  quillon::LoadSettings(settings, *OpenProfileStore(Utf8Path(settings.IniPath)));
  return settings;
}

Context MakeContext() { return Context{SharedProgramPaths()}; }

}  // namespace quillon::cli
