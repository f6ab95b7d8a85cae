#pragma once
// What every protocol test needs: an open port on a scripted driver, a virtual clock, a
// recorded progress window and a log in a temporary folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/device_protocol.h"
#include "testing/fake_comm_driver.h"
#include "testing/fakes.h"
#include "testing/temp_dir.h"

namespace quillon::testing {

class ProtocolTest : public ::testing::Test {
 protected:
  using Bytes = FakeCommDriver::Bytes;
  void SetUp() override {
    driver_.clock = &pause_;
    ASSERT_EQ(port_.OpenPort("dev"), 1);
    driver_.calls.clear();
  }
  std::vector<std::string> Records() const { return LogMessages(dir_ / "q.sts"); }
  /// The device answers with these bytes, as one arrival, after the host's next read.
  void Reply(Bytes bytes) { driver_.arrivals.push_back(std::move(bytes)); }
  int CountPauses(int ms) const {
    return static_cast<int>(std::count(pause_.pauses.begin(), pause_.pauses.end(), ms));
  }
  /// Waits for input with this time limit (the 5 ms of a poll after an empty read).
  int CountWaits(int ms) const {
    return static_cast<int>(std::count(driver_.waits.begin(), driver_.waits.end(), ms));
  }

  TempDir dir_;
  EventLog log_{dir_ / "q.sts"};
  FakeCommDriver driver_;
  SerialPort port_{driver_, log_};
  FakePause pause_;
  RecordingProgress progress_;
  DeviceProtocol protocol_{port_, pause_, progress_, log_};
};

}  // namespace quillon::testing
