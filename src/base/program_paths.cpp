#include "base/program_paths.h"

#include "base/program_paths_platform.h"

namespace quillon {

ProgramPaths DeriveProgramPaths(const std::string& executable_path) {
  std::size_t name_at = executable_path.size();
  while (name_at > 0 && !IsPathSeparator(executable_path[name_at - 1])) --name_at;
  ProgramPaths paths;
  paths.ProgramDir = executable_path.substr(0, name_at);
  std::string name = executable_path.substr(name_at);
  std::size_t dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  paths.IniPath = paths.ProgramDir + base + ".ini";
  paths.StsPath = paths.ProgramDir + base + ".sts";
  UseInstalledFolders(paths, base);
  return paths;
}

ProgramPaths SharedProgramPaths() {
  std::string exe = ExecutablePath();
  std::size_t name_at = exe.size();
  while (name_at > 0 && !IsPathSeparator(exe[name_at - 1])) --name_at;
  return DeriveProgramPaths(exe.substr(0, name_at) + "quillon");
}

}  // namespace quillon
