#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/posix_call.h"
#include "base/system.h"

namespace quillon {

void EnsureStandardStreams() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor: the one that is missing.
    const int opened = posix::Open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) posix::Close(opened);
  }
}

bool SameDevice(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat first {}, second {};
  if (posix::Stat(a.c_str(), &first) != 0 || posix::Stat(b.c_str(), &second) != 0) return false;
  if (S_ISCHR(first.st_mode) || S_ISCHR(second.st_mode)) {
    return S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev;
  }
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

long ProcessId() { return static_cast<long>(::getpid()); }

bool ProcessRunning(long pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::string UserLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace quillon
