#pragma once
// Where the programs keep their files: the settings file and the log beside the executable,
// or, for a copy installed on Linux, in the user's configuration and state folders.

#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

struct ProgramPaths {
  std::string ProgramDir;  ///< where a relative boot file is looked for; ends in the separator
  std::string IniPath;
  std::string StsPath;
  /// An installed copy: its folders may not exist yet and are made on first write.
  bool Installed = false;
  /// An installed Windows copy: the programs' own folder, where a relative boot file is looked
  /// for when ProgramDir (the settings folder) has none; empty otherwise.
  std::string BesideProgramDir;
};

/// The marker the install rules put beside the programs' folder: "<bin>/../share/quillon/installed".
inline constexpr char kInstalledMarker[] = "../share/quillon/installed";

/// Splits an executable's full path: the folder with its separator, and the path with the
/// extension replaced by "ini" and "sts" ("/opt/q/quillon" -> "/opt/q/quillon.ini"). A copy
/// installed on Linux (the marker beside its folder) keeps them in the user's folders instead:
/// $XDG_CONFIG_HOME/quillon/<name>.ini (default ~/.config) and $XDG_STATE_HOME/quillon/<name>.sts
/// (default ~/.local/state), and looks for a relative boot file in the settings folder. A copy
/// installed on Windows (the installer's marker "installed" beside the programs) keeps them in
/// %APPDATA%\Quillon\<name>.ini and %LOCALAPPDATA%\Quillon\<name>.sts, and looks for a relative
/// boot file in the settings folder first, then beside the programs.
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
