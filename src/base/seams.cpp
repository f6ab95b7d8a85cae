#include "base/seams.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <timeapi.h>
#elif defined(__linux__)
#include <sys/prctl.h>
#endif

namespace quillon {

void ThreadPause::Sleep(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void StoppablePause::Sleep(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!stop_.requested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_until(std::min(deadline, now + std::chrono::milliseconds(10)));
  }
}

#ifdef _WIN32
FineTimerScope::FineTimerScope() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
FineTimerScope::~FineTimerScope() {
  if (raised_) timeEndPeriod(1);
}
#elif defined(__linux__)
// Linux lets a sleep overrun by the thread's timer slack (50 us by default), on every pause
// and every wait of a transfer: keep it at 1 us while the update runs.
FineTimerScope::FineTimerScope() {
  const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  raised_ = slack > 0 && prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0) == 0;
  if (raised_) previous_slack_ns_ = static_cast<unsigned long>(slack);
}
FineTimerScope::~FineTimerScope() {
  if (raised_) prctl(PR_SET_TIMERSLACK, previous_slack_ns_, 0, 0, 0);
}
#else
FineTimerScope::FineTimerScope() = default;
FineTimerScope::~FineTimerScope() = default;
#endif

}  // namespace quillon
