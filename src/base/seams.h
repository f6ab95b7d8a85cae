#pragma once
// The places where the platform or the person is: the core reaches the clock, the progress
// display and the user only through these.

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>

namespace quillon {

/// Sleeps the calling thread; the protocol's every wait goes through it.
class Pause {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~Pause() = default;
  virtual void Sleep(int milliseconds) = 0;
  /// The clock the pauses run on; a wait that must last a given time measures it here.
  virtual Clock::time_point Now() { return Clock::now(); }
};

class ThreadPause final : public Pause {
 public:
  void Sleep(int milliseconds) override;
};

/// A request to stop that any thread, or a signal handler, may make (it is one atomic store)
/// and every thread sees.
class StopFlag {
 public:
  void Request() noexcept { requested_.store(true); }
  bool requested() const noexcept { return requested_.load(); }

 private:
  std::atomic<bool> requested_{false};
};

/// How often a wait or pause that a stop may cut short looks at the stop.
inline constexpr int kStopSliceMs = 50;

/// A ThreadPause that ends early once `stop` is requested (it looks every kStopSliceMs; the
/// pause still ends at its own deadline, however it is cut into slices).
class StoppablePause final : public Pause {
 public:
  explicit StoppablePause(const StopFlag& stop) : stop_(stop) {}
  void Sleep(int milliseconds) override;

 private:
  const StopFlag& stop_;
};

/// While it lives the waits of an update last what they say: on Windows the system timer
/// runs at 1 ms (by default a 5 ms pause takes 15.6 ms); on Linux the calling thread's timer
/// slack is 1 us (by default every sleep may overrun by 50 us).
class FineTimerScope {
 public:
  FineTimerScope();
  ~FineTimerScope();
  FineTimerScope(const FineTimerScope&) = delete;
  FineTimerScope& operator=(const FineTimerScope&) = delete;

 private:
  [[maybe_unused]] bool raised_ = false;
  [[maybe_unused]] unsigned long previous_slack_ns_ = 0;
};

/// What a transfer carries: the boot program, or the update's flash blocks.
enum class Transfer { kBootProgram, kUpdate };

/// The progress window of one transfer: text and range, shown, stepped once per chunk
/// (letting the user interface breathe), then closed.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void SetTextAndRange(std::string text, int steps, Transfer transfer) = 0;
  virtual void Show() = 0;
  virtual void StepAndPump() = 0;
  virtual void Close() = 0;
};

/// Everything a person sees of an update: message boxes (one OK button, warning icon, the
/// application's title) and the main window being disabled while a run is under way.
class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  /// Returns once the person has dismissed the message.
  virtual void ShowMessage(int id, std::string_view text) = 0;
  virtual void EnableMainWindow(bool enabled) = 0;
};

}  // namespace quillon
