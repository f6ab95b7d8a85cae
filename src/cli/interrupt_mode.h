#pragma once
// Private to the CLI's signal handling: what a signal does now, shared by the platforms'
// handlers (interrupt_posix.cpp, interrupt_win32.cpp).

namespace quillon::cli {

enum class InterruptMode : int {
  kUndecided,  ///< the command has not said yet: a signal only asks for the stop
  kStop,       ///< an update: the ports stop in order
  kEnd,        ///< nothing to stop in order: a signal ends the program
};

InterruptMode InterruptModeNow() noexcept;
void SetInterruptMode(InterruptMode mode) noexcept;

/// What a signal does.
enum class SignalAction {
  kStop,      ///< ask every port to stop (the first signal)
  kSameStop,  ///< nothing more: the stop asked for within kSameStopMs
  kEnd,       ///< give the ports back and end the program now
};

/// The one rule of both platforms' handlers, for a signal that comes in `mode`, when a stop
/// was `already_asked` `ms_since_first` milliseconds ago. Safe in a signal handler.
SignalAction DecideOnSignal(InterruptMode mode, bool already_asked, long long ms_since_first) noexcept;

}  // namespace quillon::cli
