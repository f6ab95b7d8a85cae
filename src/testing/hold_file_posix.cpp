#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "testing/hold_file.h"

namespace quillon::testing {

std::thread HoldLog(const std::filesystem::path& path, int ms) {
  std::atomic<bool> held{false};
  std::thread holder([path, ms, &held] {
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::flock(fd, LOCK_EX);
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    ::close(fd);
  });
  while (!held) std::this_thread::yield();
  return holder;
}

}  // namespace quillon::testing
