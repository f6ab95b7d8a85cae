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

class TerminalProgress final : public ProgressSink {
 public:
  explicit TerminalProgress(std::FILE* out);
  void SetTextAndRange(std::string text, int steps, Transfer transfer) override;
  void Show() override;
  void StepAndPump() override;
  /// Shows `done` chunks as done (the terminal's view of a port that runs elsewhere).
  void StepTo(int done);
  void Close() override;

 private:
  void Draw(bool final_line);

  std::FILE* out_;
  bool live_;
  std::string text_;
  int steps_ = 0;
  int done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

/// The number of terminal columns `utf8` takes: East Asian wide and full-width characters
/// count two, combining marks none.
int DisplayWidth(std::string_view utf8);
/// The longest start of `utf8` that fits in `columns` terminal columns.
std::string FitToWidth(std::string_view utf8, int columns);

}  // namespace quillon::cli
