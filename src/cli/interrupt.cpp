#include "cli/interrupt.h"

#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include "serial/comm_driver.h"

namespace quillon::cli {

StopFlag& InterruptFlag() {
  static StopFlag flag;
  return flag;
}

#ifdef _WIN32
namespace {
BOOL WINAPI OnConsoleEvent(DWORD) {
  InterruptFlag().Request();
  return TRUE;
}
}  // namespace

void StopOnInterrupt() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
#else
namespace {
extern "C" void OnSignal(int signal_number) {
  if (!InterruptFlag().requested()) {
    InterruptFlag().Request();
    return;
  }
  // Asked twice: the ports are given back with calls a handler may make, then the signal
  // ends the program as it would have without us.
  RestorePortsForSignal();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}
}  // namespace

void StopOnInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a read waiting for Enter returns
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}
#endif

}  // namespace quillon::cli
