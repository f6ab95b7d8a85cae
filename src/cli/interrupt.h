#pragma once
// Ctrl-C and kill during an update: the first SIGINT, SIGTERM or SIGHUP (Ctrl-C, Ctrl-Break
// or closing the console on Windows) asks every port to stop; the run then ends in order. A
// second one, when the orderly stop takes too long for the person, ends the program at once
// after giving the ports back.

#include "base/seams.h"

namespace quillon::cli {

/// The stop that the signals request.
StopFlag& InterruptFlag();

/// From here on the signals request the stop instead of ending the program. A read from the
/// terminal under way when a signal comes ends with an error instead of going on.
void StopOnInterrupt();

/// The exit status of a run that a signal stopped.
inline constexpr int kExitInterrupted = 130;

}  // namespace quillon::cli
