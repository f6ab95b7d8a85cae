#include <atomic>

#include "cli/interrupt.h"
#include "cli/interrupt_mode.h"

namespace quillon::cli {
namespace {

// Read by the handler: a lock-free atomic.
std::atomic<int> g_mode{static_cast<int>(InterruptMode::kUndecided)};

}  // namespace

StopFlag& InterruptFlag() {
  static StopFlag flag;
  return flag;
}

InterruptMode InterruptModeNow() noexcept { return static_cast<InterruptMode>(g_mode.load()); }
void SetInterruptMode(InterruptMode mode) noexcept { g_mode = static_cast<int>(mode); }

void StopOnInterrupt() { SetInterruptMode(InterruptMode::kStop); }

SignalAction DecideOnSignal(InterruptMode mode, bool already_asked, long long ms_since_first) noexcept {
  if (mode == InterruptMode::kEnd) return SignalAction::kEnd;
  if (!already_asked) return SignalAction::kStop;
  return ms_since_first < kSameStopMs ? SignalAction::kSameStop : SignalAction::kEnd;
}

}  // namespace quillon::cli
