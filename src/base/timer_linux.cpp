#include <sys/prctl.h>

#include "base/seams.h"

namespace quillon {

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

}  // namespace quillon
