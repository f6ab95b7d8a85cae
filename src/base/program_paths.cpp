#include "base/program_paths.h"

#include <cstdlib>
#include <filesystem>

#ifdef _WIN32
#include <windows.h>

#include "base/wide_text.h"
#endif

namespace quillon {

namespace {
bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/' || c == ':';
#else
  return c == '/';
#endif
}
}  // namespace

ProgramPaths DeriveProgramPaths(const std::string& executable_path) {
  std::size_t name_at = executable_path.size();
  while (name_at > 0 && !IsSeparator(executable_path[name_at - 1])) --name_at;
  ProgramPaths paths;
  paths.ProgramDir = executable_path.substr(0, name_at);
  std::string name = executable_path.substr(name_at);
  std::size_t dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  paths.IniPath = paths.ProgramDir + base + ".ini";
  paths.StsPath = paths.ProgramDir + base + ".sts";
#ifndef _WIN32
  std::error_code error;
  if (!paths.ProgramDir.empty() && std::filesystem::exists(paths.ProgramDir + kInstalledMarker, error)) {
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
#endif
  return paths;
}

std::string ExecutablePath() {
#ifdef _WIN32
  // Converted at the boundary: a folder name outside the ANSI code page survives as UTF-8.
  wchar_t buffer[32768];
  DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  if (n == 0 || n >= std::size(buffer)) return {};
  return Narrow({buffer, n});
#else
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
#endif
}

ProgramPaths SharedProgramPaths() {
  std::string exe = ExecutablePath();
  std::size_t name_at = exe.size();
  while (name_at > 0 && !IsSeparator(exe[name_at - 1])) --name_at;
  return DeriveProgramPaths(exe.substr(0, name_at) + "quillon");
}

}  // namespace quillon
