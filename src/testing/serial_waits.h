#pragma once
// A check the real-line tests of both platforms share.

#include <gtest/gtest.h>

#include <chrono>

#include "serial/serial_port.h"

namespace quillon::testing {

/// A wait with nothing on the line ends with the time up, and not before `at_least_ms`.
inline void ExpectWaitTimesOut(SerialPort& port, int milliseconds, int at_least_ms) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.WaitForInput(milliseconds), InputWait::kTimeUp);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(at_least_ms));
}

}  // namespace quillon::testing
