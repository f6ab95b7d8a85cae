#pragma once
// What the Win32 windows share.

#include <windows.h>

#include <string>

namespace quillon::win32 {

/// The module that holds the dialog templates.
HINSTANCE Instance();

/// The application's title: the executable's base name.
std::wstring ApplicationTitle();

}  // namespace quillon::win32
