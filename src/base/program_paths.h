#pragma once
// Where the programs keep their files: the settings file and the log beside the executable.

#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

struct ProgramPaths {
  std::string ProgramDir;  ///< ends in the path separator
  std::string IniPath;
  std::string StsPath;
};

/// Splits an executable's full path: the folder with its separator, and the path with the
/// extension replaced by "ini" and "sts" ("/opt/q/quillon" -> "/opt/q/quillon.ini").
ProgramPaths DeriveProgramPaths(const std::string& executable_path);

/// A path from UTF-8 text, the way every text is held in the program (on Windows a plain
/// std::string would be taken in the ANSI code page).
inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

/// The running executable's full path (/proc/self/exe, GetModuleFileName); empty if unknown.
std::string ExecutablePath();

/// The desktop program's files, seen from any program in the same folder: the CLI shares
/// the desktop program's settings file and log.
ProgramPaths SharedProgramPaths();

}  // namespace quillon
