#pragma once
// The main window, its message boxes and the file-open dialog of Browse.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/seams.h"
#include "ui/main_window_model.h"
#include "ui/win32/dialog_common.h"
#include "ui/win32/progress_window.h"

namespace quillon::win32 {

/// Message boxes: MB_OK | MB_ICONEXCLAMATION with the application's title, the text from the
/// string table Windows picked. `answer` replaces the box in tests.
class Win32Prompt final : public UserPrompt {
 public:
  void ShowMessage(int id, std::string_view text) override;
  void EnableMainWindow(bool enabled) override;
  /// From OK on the restart-in-boot-mode box until the next window appears, `wait` is shown
  /// (it may be null).
  void SetMainWindow(HWND window, WaitCursor* wait) {
    main_window_ = window;
    wait_ = wait;
  }
  std::function<void(int id, const std::wstring& text)> answer;
  /// What a failure's box says below its text under English (why, what to do next, the log).
  std::function<std::string(int id)> detail;

 private:
  HWND main_window_ = nullptr;
  WaitCursor* wait_ = nullptr;
};

/// The main window: dialog 102 over a MainWindowModel.
class MainDialog {
 public:
  /// The model must outlive the dialog; `executable_path` is the program's own full path.
  MainDialog(MainWindowModel& model, std::string executable_path);
  ~MainDialog();
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  /// Runs the dialog modally until Close.
  INT_PTR RunModal();
  /// Creates it modeless (tests drive it with messages).
  HWND CreateModeless();
  HWND hwnd() const { return hwnd_; }

  Win32Prompt& prompt() { return prompt_; }
  Win32ProgressSink& progress() { return progress_; }
  /// The tool tip over the file-name field.
  HWND file_name_tip() const { return file_name_tip_; }
  /// The file-open dialog of Browse; tests answer it themselves.
  std::function<std::optional<std::string>(HWND owner, const BrowseRequest&)> browse;
  /// Shows the About box; tests look instead.
  std::function<void(HWND owner)> show_about;

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void OnInitDialog();
  void OnSend();
  void OnClose();
  void OnBrowse();
  void OnComSelChange();
  void OnPaintMinimised();
  void ShowFileName();
  void End();

  MainWindowModel& model_;
  std::string executable_path_;
  std::wstring property_name_;
  std::wstring choose_file_prompt_;
  HWND hwnd_ = nullptr;
  bool modal_ = false;
  HICON icon_ = nullptr;
  HICON small_icon_ = nullptr;
  HWND file_name_tip_ = nullptr;
  HCURSOR cursor_before_wait_ = nullptr;
  WaitCursor wait_cursor_;
  Win32Prompt prompt_;
  Win32ProgressSink progress_;
};

/// Another copy runs: finds its main window by the property named after the executable,
/// restores it if minimised and brings it (or its last active pop-up) to the front.
/// Returns false when no window carries the property.
bool ActivateRunningCopy(const std::wstring& base_name);

/// The file-open dialog of Browse (GetOpenFileNameW).
std::optional<std::string> ShowOpenFileDialog(HWND owner, const BrowseRequest& request);

}  // namespace quillon::win32
