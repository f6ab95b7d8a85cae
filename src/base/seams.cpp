#include "base/seams.h"

#include <algorithm>
#include <chrono>
#include <thread>


namespace quillon {

void ThreadPause::Sleep(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void StoppablePause::Sleep(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!stop_.requested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_until(std::min(deadline, now + std::chrono::milliseconds(kStopSliceMs)));
  }
}


}  // namespace quillon
