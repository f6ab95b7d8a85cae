#include <windows.h>

#include <atomic>
#include <chrono>

#include "testing/hold_file.h"

namespace quillon::testing {

std::thread HoldLog(const std::filesystem::path& path, int ms) {
  std::atomic<bool> held{false};
  std::thread holder([path, ms, &held] {
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    CloseHandle(file);
  });
  while (!held) std::this_thread::yield();
  return holder;
}

}  // namespace quillon::testing
