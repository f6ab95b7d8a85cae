#pragma once
// Private to base: waiting a bounded time for a file another writer holds.

#include <chrono>
#include <optional>
#include <thread>

namespace quillon {

// Tries `attempt` until it says yes or no, for at most `wait_ms`: another writer holds the
// log only for the length of one record.
template <typename Attempt>
bool WithinLockWait(int wait_ms, Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (const auto outcome = attempt(); outcome.has_value()) return *outcome;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quillon
