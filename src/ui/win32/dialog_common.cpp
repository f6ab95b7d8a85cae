#include "ui/win32/dialog_common.h"

#include <filesystem>

#include "base/program_paths.h"
#include "base/wide_text.h"

namespace quillon::win32 {

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

std::wstring ApplicationTitle() {
  return std::filesystem::path(Widen(ExecutablePath())).stem().wstring();
}

void WaitCursor::Show() {
  if (shown_) return;
  before_ = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  shown_ = true;
}

void WaitCursor::End() {
  if (!shown_) return;
  SetCursor(before_ != nullptr ? before_ : LoadCursor(nullptr, IDC_ARROW));
  shown_ = false;
}

}  // namespace quillon::win32
