#include "ui/win32/about_box.h"

#include "resource.h"
#include "ui/win32/dialog_common.h"

namespace quillon::win32 {

namespace {

// OK, Enter, Escape and the close box end the box (Escape and the close box come as IDCANCEL).
INT_PTR CALLBACK AboutProc(HWND box, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        EndDialog(box, LOWORD(wparam));
        return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}

}  // namespace

void ShowAboutBox(HWND owner) { DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProc, 0); }

}  // namespace quillon::win32
