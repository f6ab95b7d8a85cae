#include <windows.h>

#include <atomic>

#include "cli/interrupt.h"
#include "serial/comm_driver.h"

namespace quillon::cli {
namespace {

enum Mode : int { kUndecided, kStop, kEnd };

std::atomic<int> g_mode{kUndecided};
std::atomic<unsigned long long> g_first_ms{0};

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD) {
  const ULONGLONG now = GetTickCount64();
  if (!InterruptFlag().requested()) {
    g_first_ms = now;
    InterruptFlag().Request();
  } else if (g_mode.load() != kEnd && now - g_first_ms.load() < static_cast<ULONGLONG>(kSameStopMs)) {
    return TRUE;
  } else {
    // Asked again, later: the ports go back with the process's handles.
    RestorePortsForSignal();
    ExitProcess(kExitInterrupted);
  }
  if (g_mode.load() == kEnd) {
    RestorePortsForSignal();
    ExitProcess(kExitInterrupted);
  }
  return TRUE;
}

}  // namespace

StopFlag& InterruptFlag() {
  static StopFlag flag;
  return flag;
}

void InstallInterruptHandlers() {
  (void)InterruptFlag();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void StopOnInterrupt() { g_mode = kStop; }

void EndOnInterrupt() {
  g_mode = kEnd;
  if (InterruptFlag().requested()) ExitProcess(kExitInterrupted);
}

}  // namespace quillon::cli
