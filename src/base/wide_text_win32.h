#pragma once
// Windows only: text is UTF-8 inside the program and crosses the Win32 boundary as UTF-16,
// so Japanese texts and any path a person picked survive on every code page.

#include <string>
#include <string_view>
#include <vector>

namespace quillon {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

/// UTF-8 text in the ANSI code page (characters it cannot hold become its default character).
std::string ToAnsiCodePage(std::string_view utf8);

/// The program's arguments (its own name first) from the UTF-16 command line, in UTF-8: the
/// argv of main is in the ANSI code page, which loses every character it cannot hold.
std::vector<std::string> Utf8Arguments();

}  // namespace quillon
