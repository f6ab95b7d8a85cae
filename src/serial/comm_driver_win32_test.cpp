// The platform driver against a real line: under Wine, a COM port that the test script maps
// to a pseudo-terminal whose other end echoes every byte.

#include <gtest/gtest.h>

#include "serial/serial_port.h"
#include "testing/serial_waits.h"
#include "testing/temp_dir.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace quillon {
namespace {

using testing::LogMessages;
using testing::ExpectWaitTimesOut;
using testing::TempDir;

class LoopbackComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* com = std::getenv("QUILLON_TEST_COM");
    if (com == nullptr) GTEST_SKIP() << "QUILLON_TEST_COM names no loopback COM port";
    device_ = com;
  }
  // Collects `n` bytes (bounded wait), reading with the given capacity.
  std::vector<std::uint8_t> Collect(std::size_t n, std::size_t capacity) {
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> buffer(capacity);
    for (int i = 0; i < 400 && got.size() < n; ++i) {
      const int r = port_.ReadCom(buffer);
      EXPECT_LE(r, static_cast<int>(capacity));
      if (r > 0) got.insert(got.end(), buffer.begin(), buffer.begin() + r);
      else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return got;
  }
  std::string device_;
  TempDir dir_;
  EventLog log_{dir_ / "q.sts"};
  std::unique_ptr<CommDriver> driver_ = MakePlatformCommDriver();
  SerialPort port_{*driver_, log_};
};

// Wine does not keep a second opener off a COM port (Windows' serial driver does), so the
// exclusive open is proven by the POSIX tests only.
TEST_F(LoopbackComTest, PassesEveryByteValueAndNeverWaits) {
  ASSERT_EQ(port_.OpenPort(device_), 1) << testing::ReadFileBytes(dir_ / "q.sts");

  std::array<std::uint8_t, 32> buffer{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port_.ReadCom(buffer), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(port_.WriteCom(all), 256);
  EXPECT_EQ(Collect(256, 32), all);
  EXPECT_TRUE(LogMessages(dir_ / "q.sts").empty());
}

TEST_F(LoopbackComTest, WaitForInputWakesOnTheEcho) {
  ASSERT_EQ(port_.OpenPort(device_), 1);
  using Clock = std::chrono::steady_clock;
  ExpectWaitTimesOut(port_, 30, 29);
  const std::array<std::uint8_t, 1> byte{0x55};
  ASSERT_EQ(port_.WriteCom(byte), 1);
  const auto start = Clock::now();
  EXPECT_EQ(port_.WaitForInput(2000), InputWait::kInput);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(Collect(1, 32), std::vector<std::uint8_t>{0x55});
}

TEST_F(LoopbackComTest, RateChangesAndComesBackTo19200OnReopen) {
  ASSERT_EQ(port_.OpenPort(device_), 1);
  LineSettings state;
  ASSERT_TRUE(driver_->GetState(state));
  EXPECT_EQ(state.BaudRate, 19200u);
  ASSERT_EQ(port_.SetBaudrate(115200), 1);
  ASSERT_TRUE(driver_->GetState(state));
  EXPECT_EQ(state.BaudRate, 115200u);
  EXPECT_EQ(state.ByteSize, 8);
  ASSERT_EQ(port_.OpenPort(device_), 1);
  ASSERT_TRUE(driver_->GetState(state));
  EXPECT_EQ(state.BaudRate, 19200u);
  const std::array<std::uint8_t, 3> bytes{0x0D, 0x11, 0x13};
  ASSERT_EQ(port_.WriteCom(bytes), 3);
  EXPECT_EQ(Collect(3, 256), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

TEST(PortDeviceNameTest, ComNumberToDevice) {
  EXPECT_EQ(PortDeviceName(3, {}), "\\\\.\\COM3");
  EXPECT_EQ(PortDeviceName(12, {}), "\\\\.\\COM12");
}

}  // namespace
}  // namespace quillon
