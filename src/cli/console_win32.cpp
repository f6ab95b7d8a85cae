#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <iostream>

#include "base/wide_text_win32.h"
#include "cli/console.h"

namespace quillon::cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  std::vector<std::string> utf8 = quillon::Utf8Arguments();
  if (utf8.empty()) utf8.assign(argv, argv + argc);
  return utf8;
}

bool IsTerminal(std::FILE* file) { return _isatty(_fileno(file)) != 0; }

int TerminalWidth(std::FILE* out) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  if (!GetConsoleScreenBufferInfo(handle, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

std::optional<std::string> ReadAnswer(const StopFlag& stop) {
  std::string line;
  if (!std::getline(std::cin, line) || stop.requested()) return std::nullopt;
  return line;
}

void BinaryStandardOutput() { _setmode(_fileno(stdout), _O_BINARY); }

std::string InstalledIniPlace() { return "%APPDATA%\\Quillon\\quillon.ini"; }

std::string InstalledLogPlace() { return "%LOCALAPPDATA%\\Quillon\\quillon.sts"; }

}  // namespace quillon::cli
