#include <windows.h>

#include <atomic>

#include "cli/interrupt.h"
#include "cli/interrupt_mode.h"
#include "serial/comm_driver.h"

namespace quillon::cli {
namespace {

std::atomic<unsigned long long> g_first_ms{0};

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const ULONGLONG now = GetTickCount64();
  const bool asked = InterruptFlag().requested();
  if (!asked) {
    g_first_ms = now;
    InterruptFlag().Request();
  }
  const auto since = static_cast<long long>(now - g_first_ms.load());
  if (DecideOnSignal(InterruptModeNow(), asked, since) == SignalAction::kEnd) {
    // The ports go back with the process's handles.
    RestorePortsForSignal();
    ExitProcess(kExitInterrupted);
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The console is going (its window closed, the user logging off): Windows ends the process
    // as soon as this returns, and at the latest after five seconds. The units under way get
    // that time to be recorded INTERRUPTED; the process ends itself when they are.
    Sleep(4500);
  }
  return TRUE;
}

}  // namespace

void InstallInterruptHandlers() {
  (void)InterruptFlag();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void EndOnInterrupt() {
  SetInterruptMode(InterruptMode::kEnd);
  if (InterruptFlag().requested()) ExitProcess(kExitInterrupted);
}

}  // namespace quillon::cli
