#include "base/seams.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <timeapi.h>
#endif

namespace quillon {

void ThreadPause::Sleep(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

#ifdef _WIN32
FineTimerScope::FineTimerScope() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
FineTimerScope::~FineTimerScope() {
  if (raised_) timeEndPeriod(1);
}
#else
FineTimerScope::FineTimerScope() = default;
FineTimerScope::~FineTimerScope() = default;
#endif

}  // namespace quillon
