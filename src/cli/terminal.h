#pragma once
// The command line's face for an update: messages as "[id] text" lines and the progress of
// each transfer as a live bar on a terminal or plain lines otherwise.

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/seams.h"
#include "cli/console.h"
#include "cli/output.h"
#include "report/progress_view.h"

namespace quillon::cli {

/// What an answer at the boot-mode message means: Enter or y goes ahead, n or q (or the end
/// of input) calls the run off; anything else is asked again.
enum class BootModeAnswer { kGo, kCancel, kAskAgain };
BootModeAnswer ReadBootModeAnswer(const std::optional<std::string>& line);

class TerminalPrompt final : public UserPrompt {
 public:
  /// Messages as "[id] text" lines (failures on standard error). `hint` gives a short English
  /// line on what to check for a failure's message id. Waiting for Enter is the caller's.
  explicit TerminalPrompt(std::function<std::string(int id)> hint) : hint_(std::move(hint)) {}
  void ShowMessage(int id, std::string_view text) override;
  void EnableMainWindow(bool) override {}

 private:
  std::function<std::string(int)> hint_;
};

/// One port's transfers on a terminal: a bar redrawn in place, or a line at each phase's start
/// and end when `out` is no terminal. It draws the progress views it is given.
class TerminalProgress {
 public:
  explicit TerminalProgress(std::FILE* out);
  /// A phase begins, with the progress window's text.
  void Begin(std::string text, const report::ProgressView& view);
  void Show(const report::ProgressView& view);
  void End(const report::ProgressView& view);

 private:
  void Draw(const report::ProgressView& view, bool final_line);

  std::FILE* out_;
  bool live_;
  std::string text_;
};


}  // namespace quillon::cli
