#include <signal.h>
#include <time.h>

#include <atomic>
#include <csignal>

#include "cli/interrupt.h"
#include "cli/interrupt_mode.h"
#include "serial/comm_driver.h"

namespace quillon::cli {
namespace {

// Read and written by the handler: lock-free atomics only.
std::atomic<int> g_first_signal{0};
std::atomic<long long> g_first_ms{0};

long long MonotonicMs() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Ends the program as the signal would have without our handler.
[[noreturn]] void EndBy(int signal_number) noexcept {
  RestorePortsForSignal();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
  ::_exit(128 + signal_number);
}

extern "C" void OnSignal(int signal_number) {
  const bool asked = InterruptFlag().requested();
  if (!asked) {
    g_first_ms = MonotonicMs();
    g_first_signal = signal_number;
    InterruptFlag().Request();
  }
  // Ending, the ports are given back (line settings, exclusive use) with calls a handler may
  // make, then the signal ends the program.
  if (DecideOnSignal(InterruptModeNow(), asked, MonotonicMs() - g_first_ms.load()) == SignalAction::kEnd) {
    EndBy(signal_number);
  }
}

}  // namespace

void InstallInterruptHandlers() {
  (void)InterruptFlag();
  // A reader that goes away (| head) must not kill a run half way: the write fails instead,
  // and the update goes on to its end.
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a read waiting for Enter returns
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

void EndOnInterrupt() {
  SetInterruptMode(InterruptMode::kEnd);
  if (InterruptFlag().requested()) EndBy(g_first_signal.load());
}

}  // namespace quillon::cli
