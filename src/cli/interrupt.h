#pragma once
// Ctrl-C and kill: SIGINT, SIGTERM or SIGHUP (Ctrl-C, Ctrl-Break or closing the console on
// Windows). The handlers are put in place before anything else runs, so no signal ever ends
// the program unseen. During an update the first one asks every port to stop and the run ends
// in order; another within 2 s is the same stop (a person pressing twice, a service manager
// sending SIGTERM after SIGINT); one after that, when the orderly stop takes too long for the
// person, ends the program at once after giving the ports back. Any other command simply ends.

#include "base/seams.h"
#include "cli/exit_status.h"

namespace quillon::cli {

/// The stop that the signals request.
StopFlag& InterruptFlag();

/// The first thing main() does: from here on a signal is caught, and it only ends the program
/// once the command has said (EndOnInterrupt) that it has nothing to stop in order.
void InstallInterruptHandlers();

/// From here on the signals request the stop instead of ending the program. A read from the
/// terminal under way when a signal comes ends with an error instead of going on.
void StopOnInterrupt();

/// For a command with nothing to stop in order: a signal ends the program as it would have
/// without handlers, and one that came before this call ends it now.
void EndOnInterrupt();

/// A second signal within this time of the first is the same stop.
inline constexpr int kSameStopMs = 2000;

}  // namespace quillon::cli
