#include "ui/win32/progress_window.h"

#include <commctrl.h>

#include "resource.h"
#include "base/wide_text_win32.h"
#include "ui/win32/dialog_common.h"

namespace quillon::win32 {

void Win32ProgressSink::SetTextAndRange(std::string text, int steps, Transfer) {
  Close();
  window_ = CreateDialogParamW(Instance(), MAKEINTRESOURCEW(IDD_PROGRESS), owner_, nullptr, 0);
  if (window_ == nullptr) return;
  SetDlgItemTextW(window_, IDC_STATUS_TEXT, ResourceText(text).c_str());
  HWND bar = GetDlgItem(window_, IDC_PROGRESS_BAR);
  SendMessageW(bar, PBM_SETSTEP, 1, 0);
  // The range's upper end is a 16-bit field: the count is cut to it.
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, static_cast<WORD>(steps)));
  if (on_open) on_open(window_);
}

void Win32ProgressSink::Show() {
  if (window_ == nullptr) return;
  ShowWindow(window_, SW_SHOW);
  if (wait_ != nullptr) wait_->End();
}

void Win32ProgressSink::StepAndPump() {
  if (window_ != nullptr) SendDlgItemMessageW(window_, IDC_PROGRESS_BAR, PBM_STEPIT, 0, 0);
  // The only place a transfer lets the windows breathe: every waiting message, then back.
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void Win32ProgressSink::Close() {
  if (window_ == nullptr) return;
  if (on_close) on_close(window_);
  DestroyWindow(window_);
  window_ = nullptr;
}

}  // namespace quillon::win32
