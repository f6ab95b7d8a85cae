#include "serial/comm_decorators.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace quillon {

bool StoppableCommDriver::ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) {
  if (stop_.requested()) return false;
  return ForwardingCommDriver::ClearErrors(errors, waiting);
}

bool StoppableCommDriver::Read(std::span<std::uint8_t> buffer, std::size_t& read) {
  read = 0;
  if (stop_.requested()) return false;
  return ForwardingCommDriver::Read(buffer, read);
}

bool StoppableCommDriver::Write(std::span<const std::uint8_t> bytes, std::size_t& written) {
  written = 0;
  if (stop_.requested()) return false;
  return ForwardingCommDriver::Write(bytes, written);
}

bool CountingCommDriver::Write(std::span<const std::uint8_t> bytes, std::size_t& written) {
  const bool ok = ForwardingCommDriver::Write(bytes, written);
  bytes_written_ += static_cast<long long>(written);
  return ok;
}

InputWait StoppableCommDriver::WaitForInput(int milliseconds) {
  // In slices, so that a stop is seen within 50 ms however long the wait (a station's idle
  // ports wait all day: shorter slices only cost wakeups). What is left is
  // rounded up, never down: a wait never ends before its time.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
  for (;;) {
    if (stop_.requested()) return InputWait::kLineGone;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const InputWait result = ForwardingCommDriver::WaitForInput(static_cast<int>(std::clamp<long long>(left, 0, kStopSliceMs)));
    if (result != InputWait::kTimeUp || Clock::now() >= deadline) return result;
  }
}

bool TracingCommDriver::Read(std::span<std::uint8_t> buffer, std::size_t& read) {
  const bool ok = ForwardingCommDriver::Read(buffer, read);
  if (read > 0) Trace("RX", buffer.first(std::min(read, buffer.size())));
  return ok;
}

bool TracingCommDriver::Write(std::span<const std::uint8_t> bytes, std::size_t& written) {
  const bool ok = ForwardingCommDriver::Write(bytes, written);
  if (written > 0) Trace("TX", bytes.first(std::min(written, bytes.size())));
  return ok;
}

void TracingCommDriver::Trace(const char* direction, std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  std::string line(bytes.size() * 3, ' ');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    line[i * 3 + 1] = kDigits[bytes[i] >> 4];
    line[i * 3 + 2] = kDigits[bytes[i] & 0xF];
  }
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%12.3f %s", ms, direction);
  trace_(stamp + line + "\n");
}

}  // namespace quillon
