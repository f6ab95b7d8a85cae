#pragma once
// What the Win32 windows share.

#include <windows.h>

#include <string>

namespace quillon::win32 {

/// The module that holds the dialog templates.
HINSTANCE Instance();

/// The application's title: the executable's base name.
std::wstring ApplicationTitle();

/// The wait cursor, shown once at most; the cursor before it comes back with End or with the
/// owner.
class WaitCursor {
 public:
  WaitCursor() = default;
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
  ~WaitCursor() { End(); }
  void Show();
  void End();
  bool shown() const { return shown_; }

 private:
  bool shown_ = false;
  HCURSOR before_ = nullptr;
};

}  // namespace quillon::win32
