#include <windows.h>

#include <iterator>

#include "base/program_paths_platform.h"
#include "base/wide_text.h"

namespace quillon {

bool IsPathSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

// A Windows copy keeps its files beside the program, as it always has.
void UseInstalledFolders(ProgramPaths&, const std::string&) {}

std::string ExecutablePath() {
  // Converted at the boundary: a folder name outside the ANSI code page survives as UTF-8.
  wchar_t buffer[32768];
  DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  if (n == 0 || n >= std::size(buffer)) return {};
  return Narrow({buffer, n});
}

}  // namespace quillon
