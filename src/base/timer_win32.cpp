#include <windows.h>
#include <timeapi.h>

#include "base/seams.h"

namespace quillon {

// By default the system timer ticks every 15.6 ms, and a 5 ms pause takes that long.
FineTimerScope::FineTimerScope() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimerScope::~FineTimerScope() {
  if (raised_) timeEndPeriod(1);
}

}  // namespace quillon
