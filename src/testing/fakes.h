#pragma once
// Test doubles for the seams of base/: nothing here sleeps or shows anything.

#include <functional>
#include <string>
#include <vector>

#include "base/seams.h"

namespace quillon::testing {

/// Records every pause and advances a virtual clock instead of sleeping.
class FakePause final : public Pause {
 public:
  void Sleep(int milliseconds) override {
    pauses.push_back(milliseconds);
    Advance(milliseconds);
  }
  Clock::time_point Now() override { return Clock::time_point(std::chrono::milliseconds(now_ms)); }
  /// Moves the clock without recording a pause: the fake driver's waits for input do this.
  void Advance(long long milliseconds) {
    now_ms += milliseconds;
    if (on_sleep) on_sleep(now_ms);
  }
  std::vector<int> pauses;
  long long now_ms = 0;
  /// Lets a scripted peer act as time passes (called whenever the clock moves).
  std::function<void(long long)> on_sleep;
};

/// Records the progress calls as readable strings: "text:<t>/<n>", "show", "step", "close".
class RecordingProgress final : public ProgressSink {
 public:
  void SetTextAndRange(std::string text, int steps, Transfer) override {
    calls.push_back("text:" + text + "/" + std::to_string(steps));
  }
  void Show() override { calls.push_back("show"); }
  void StepAndPump() override {
    calls.push_back("step");
    if (on_step) on_step();
  }
  void Close() override { calls.push_back("close"); }
  int Steps() const;
  std::vector<std::string> calls;
  std::function<void()> on_step;
};

/// Records what the user would see: "msg:<id>", "disable", "enable".
class RecordingPrompt final : public UserPrompt {
 public:
  void ShowMessage(int id, std::string_view text) override {
    calls.push_back("msg:" + std::to_string(id));
    texts.emplace_back(text);
    if (on_message) on_message(id);
  }
  void EnableMainWindow(bool enabled) override { calls.push_back(enabled ? "enable" : "disable"); }
  std::vector<std::string> calls;
  std::vector<std::string> texts;
  std::function<void(int)> on_message;
};

inline int RecordingProgress::Steps() const {
  int n = 0;
  for (const auto& call : calls) n += call == "step";
  return n;
}

}  // namespace quillon::testing
