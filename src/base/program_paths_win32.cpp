#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <iterator>

#include "base/program_paths_platform.h"
#include "base/wide_text_win32.h"

namespace quillon {

bool IsPathSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

namespace {

// A folder of the user's profile, as UTF-8; empty when the system has none.
std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR wide = nullptr;
  std::string folder;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &wide))) folder = Narrow(wide);
  CoTaskMemFree(wide);
  return folder;
}

}  // namespace

// A copy installed under Program Files may not write beside itself: the installer's marker
// sends its settings to the roaming profile and its log (and run records) to the local one. A
// portable copy keeps its files beside the program, as it always has.
void UseInstalledFolders(ProgramPaths& paths, const std::string& base) {
  std::error_code error;
  if (paths.ProgramDir.empty() || !std::filesystem::is_regular_file(Utf8Path(paths.ProgramDir + "installed"), error)) {
    return;
  }
  const std::string roaming = KnownFolder(FOLDERID_RoamingAppData);
  const std::string local = KnownFolder(FOLDERID_LocalAppData);
  if (roaming.empty() || local.empty()) return;
  paths.BesideProgramDir = paths.ProgramDir;
  paths.ProgramDir = roaming + "\\Quillon\\";
  paths.IniPath = paths.ProgramDir + base + ".ini";
  paths.StsPath = local + "\\Quillon\\" + base + ".sts";
  paths.Installed = true;
}

std::string ExecutablePath() {
  // Converted at the boundary: a folder name outside the ANSI code page survives as UTF-8.
  wchar_t buffer[32768];
  DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  if (n == 0 || n >= std::size(buffer)) return {};
  return Narrow({buffer, n});
}

}  // namespace quillon
