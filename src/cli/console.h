#pragma once
// The console, as each platform has it (console_posix.cpp, console_win32.cpp): the program's
// arguments, whether an output is a terminal and how wide, waiting for Enter, binary output.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/seams.h"

namespace quillon::cli {

/// The program's arguments in UTF-8 (its own name first): on Windows from the UTF-16 command
/// line, since argv holds only what the ANSI code page can.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

/// True when `file` is a terminal.
bool IsTerminal(std::FILE* file);

/// The width of the terminal on `out`, or 0 when it is not a terminal.
int TerminalWidth(std::FILE* out);

/// Waits for a line on standard input. The line (without its end) when one came; nothing at
/// end of input or once `stop` is requested, however late in the wait the request comes.
std::optional<std::string> ReadAnswer(const StopFlag& stop);

/// Waits up to `milliseconds` for standard input and appends what came (a keyboard's keys as
/// UTF-8 on a console); false at the end of input.
bool ReadInputBytes(std::string& bytes, int milliseconds);

/// Standard output takes bytes as they are (no line-end translation).
void BinaryStandardOutput();

/// Where an installed copy keeps its settings file and its log, as --help names them.
std::string InstalledIniPlace();
std::string InstalledLogPlace();

}  // namespace quillon::cli
