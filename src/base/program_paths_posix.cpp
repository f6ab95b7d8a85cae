#include <cstdlib>
#include <filesystem>

#include "base/program_paths_platform.h"

namespace quillon {

bool IsPathSeparator(char c) { return c == '/'; }

// The XDG folders: settings under $XDG_CONFIG_HOME/quillon, the log under
// $XDG_STATE_HOME/quillon.
void UseInstalledFolders(ProgramPaths& paths, const std::string& base) {
  std::error_code error;
  if (paths.ProgramDir.empty() || !std::filesystem::exists(paths.ProgramDir + kInstalledMarker, error)) return;
  auto folder = [](const char* variable, const char* fallback) -> std::string {
    const char* value = std::getenv(variable);
    // A relative value does not count: the default folder is used instead.
    if (value != nullptr && value[0] == '/') return std::string(value) + "/quillon/";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/" + fallback + "/quillon/";
  };
  const std::string config = folder("XDG_CONFIG_HOME", ".config");
  paths.ProgramDir = config;
  paths.IniPath = config + base + ".ini";
  paths.StsPath = folder("XDG_STATE_HOME", ".local/state") + base + ".sts";
  paths.Installed = true;
}

std::string ExecutablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

}  // namespace quillon
