#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "base/posix_call.h"
#include "cli/console.h"

namespace quillon::cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool IsTerminal(std::FILE* file) { return posix::IsATty(::fileno(file)) != 0; }

int TerminalWidth(std::FILE* out) {
  winsize size{};
  if (posix::Ioctl(::fileno(out), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

std::optional<std::string> ReadAnswer(const StopFlag& stop) {
  // A signal that comes just before the read begins would not interrupt it: look at the stop
  // between short waits for input instead of blocking in the read.
  while (!stop.requested()) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = posix::Poll(&input, 1, 50);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) break;
  }
  if (stop.requested()) return std::nullopt;
  std::string line;
  if (!std::getline(std::cin, line) || stop.requested()) return std::nullopt;
  return line;
}

bool ReadInputBytes(std::string& bytes, int milliseconds) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  const int ready = posix::Poll(&input, 1, milliseconds);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  char buffer[256];
  const ssize_t read = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (read < 0) return errno == EINTR || errno == EAGAIN;
  bytes.append(buffer, static_cast<std::size_t>(read));
  return read > 0;
}

void BinaryStandardOutput() {}

std::string InstalledIniPlace() { return "$XDG_CONFIG_HOME/quillon/quillon.ini, else ~/.config/quillon/quillon.ini"; }

std::string InstalledLogPlace() {
  return "$XDG_STATE_HOME/quillon/quillon.sts, else ~/.local/state/quillon/quillon.sts";
}

}  // namespace quillon::cli
