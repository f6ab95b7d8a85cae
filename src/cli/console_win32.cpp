#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
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

bool ReadInputBytes(std::string& bytes, int milliseconds) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) {
    // A console: the keys typed (a keyboard-wedge scanner types too), without waiting for Enter.
    if (WaitForSingleObject(input, static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0) return true;
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!ReadConsoleInputW(input, records, 64, &count)) return false;
    std::wstring typed;
    for (DWORD i = 0; i < count; ++i) {
      const auto& key = records[i].Event.KeyEvent;
      if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.UnicodeChar != 0) {
        typed.append(key.wRepeatCount, key.uChar.UnicodeChar);
      }
    }
    bytes += Narrow(typed);
    return true;
  }
  // A pipe or a file.
  DWORD waiting = 0;
  for (int waited = 0; PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr) && waiting == 0; waited += 20) {
    if (waited >= milliseconds) return true;
    Sleep(20);
  }
  char buffer[256];
  DWORD read = 0;
  if (!ReadFile(input, buffer, waiting == 0 ? sizeof buffer : std::min<DWORD>(waiting, sizeof buffer), &read, nullptr)) {
    return false;
  }
  bytes.append(buffer, read);
  return read > 0;
}

void BinaryStandardOutput() { _setmode(_fileno(stdout), _O_BINARY); }

std::string InstalledIniPlace() { return "%APPDATA%\\Quillon\\quillon.ini"; }

std::string InstalledLogPlace() { return "%LOCALAPPDATA%\\Quillon\\quillon.sts"; }

}  // namespace quillon::cli
