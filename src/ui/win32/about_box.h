#pragma once
// The About box: dialog 100, modal.

#include <windows.h>

namespace quillon::win32 {

void ShowAboutBox(HWND owner);

}  // namespace quillon::win32
