#pragma once
// The progress window of one transfer.

#include <windows.h>

#include <functional>
#include <string>

#include "base/seams.h"
#include "ui/wait_cursor.h"

namespace quillon::win32 {

/// The progress window of one transfer: dialog 911, modeless, owned by the main window, at
/// its template position; destroyed when the transfer ends.
class Win32ProgressSink final : public ProgressSink {
 public:
  ~Win32ProgressSink() override { Close(); }
  /// `wait` (may be null) is ended when a window appears.
  void SetOwner(HWND owner, WaitCursor* wait) {
    owner_ = owner;
    wait_ = wait;
  }
  void SetTextAndRange(std::string text, int steps, Transfer transfer) override;
  void Show() override;
  void StepAndPump() override;
  void Close() override;
  HWND window() const { return window_; }
  /// Called with every new window (tests look at it through this).
  std::function<void(HWND)> on_open;
  /// Called before a window is destroyed.
  std::function<void(HWND)> on_close;

 private:
  HWND owner_ = nullptr;
  WaitCursor* wait_ = nullptr;
  HWND window_ = nullptr;
};

}  // namespace quillon::win32
