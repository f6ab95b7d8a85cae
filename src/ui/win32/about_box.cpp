#include "ui/win32/about_box.h"

#include "../../../resources/resource.h"
#include "ui/win32/dialog_common.h"

namespace quillon::win32 {

void ShowAboutBox(HWND owner) { DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, nullptr, 0); }

}  // namespace quillon::win32
