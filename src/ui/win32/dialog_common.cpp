#include "ui/win32/dialog_common.h"

#include <filesystem>

#include "base/program_paths.h"
#include "base/wide_text_win32.h"

namespace quillon::win32 {

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

std::wstring ApplicationTitle() {
  return std::filesystem::path(Widen(ExecutablePath())).stem().wstring();
}

}  // namespace quillon::win32
