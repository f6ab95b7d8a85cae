#pragma once
// Windows only: text is UTF-8 inside the program and crosses the Win32 boundary as UTF-16,
// so Japanese texts and any path a person picked survive on every code page.
#ifdef _WIN32

#include <string>
#include <string_view>

namespace quillon {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace quillon

#endif
