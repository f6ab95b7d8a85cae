#include "serial/comm_decorators.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "testing/fake_comm_driver.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::FakeCommDriver;

TEST(StoppableCommDriverTest, CountsWhatWentOutAndRefusesEverythingOnceStopped) {
  StopFlag stop;
  auto fake = std::make_unique<FakeCommDriver>();
  fake->write_count = [](std::span<const std::uint8_t> bytes) { return bytes.size() - 1; };
  FakeCommDriver& inner = *fake;
  auto counting = std::make_unique<CountingCommDriver>(std::move(fake));
  const CountingCommDriver& counted = *counting;
  StoppableCommDriver driver(std::move(counting), stop);
  ASSERT_TRUE(driver.Open("/dev/x"));
  const std::uint8_t bytes[] = {1, 2, 3, 4};
  std::size_t written = 0;
  driver.Write(bytes, written);
  driver.Write(bytes, written);
  EXPECT_EQ(counted.bytes_written(), 6);
  inner.arrivals.push_back({9});
  std::array<std::uint8_t, 4> buffer{};
  std::size_t read = 0;
  std::uint32_t errors = 0, waiting = 0;
  EXPECT_TRUE(driver.ClearErrors(errors, waiting));
  EXPECT_TRUE(driver.Read(buffer, read));
  EXPECT_EQ(read, 1u);

  stop.Request();
  inner.arrivals.push_back({7});
  EXPECT_FALSE(driver.ClearErrors(errors, waiting));
  EXPECT_FALSE(driver.Read(buffer, read));
  EXPECT_EQ(read, 0u);
  EXPECT_FALSE(driver.Write(bytes, written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(counted.bytes_written(), 6);
  EXPECT_EQ(driver.WaitForInput(1000), InputWait::kLineGone);
  driver.Close();
  EXPECT_FALSE(driver.Open("/dev/x"));
}

TEST(StoppableCommDriverTest, AStopEndsAWaitUnderWay) {
  StopFlag stop;
  StoppableCommDriver driver(std::make_unique<FakeCommDriver>(), stop);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Request();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(driver.WaitForInput(5000), InputWait::kLineGone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  stopper.join();
}

// A driver whose wait lasts exactly the whole milliseconds it is given, as poll() does.
class SleepingDriver final : public ForwardingCommDriver {
 public:
  SleepingDriver() : ForwardingCommDriver(std::make_unique<FakeCommDriver>()) {}
  InputWait WaitForInput(int milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return InputWait::kTimeUp;
  }
};

class StoppableWaitTest : public ::testing::TestWithParam<int> {};

TEST_P(StoppableWaitTest, AWaitWithNoInputLastsItsWholeTime) {
  StopFlag stop;
  StoppableCommDriver driver(std::make_unique<SleepingDriver>(), stop);
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.WaitForInput(GetParam()), InputWait::kTimeUp);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(GetParam()));
  }
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, StoppableWaitTest, ::testing::Values(1, 5, 13));

TEST(StoppablePauseTest, EndsAtItsDeadlineOrAtTheStop) {
  StopFlag stop;
  StoppablePause pause(stop);
  auto start = std::chrono::steady_clock::now();
  pause.Sleep(35);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Request();
  });
  start = std::chrono::steady_clock::now();
  pause.Sleep(5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  stopper.join();
}

TEST(TracingCommDriverTest, OneLinePerTransferThatMovedBytes) {
  testing::TempDir dir;
  const auto path = dir / "trace.txt";
  std::FILE* trace = std::fopen(path.string().c_str(), "wb");
  ASSERT_NE(trace, nullptr);
  {
    auto fake = std::make_unique<FakeCommDriver>();
    fake->write_count = [](std::span<const std::uint8_t> bytes) { return bytes.size() > 2 ? 2 : bytes.size(); };
    FakeCommDriver& inner = *fake;
    TracingCommDriver driver(std::move(fake), [trace](std::string line) { std::fputs(line.c_str(), trace); });
    ASSERT_TRUE(driver.Open("/dev/x"));
    const std::uint8_t out[] = {0x55, 0x0A, 0xFF};
    std::size_t n = 0;
    driver.Write(out, n);
    std::array<std::uint8_t, 8> buffer{};
    driver.Read(buffer, n);  // nothing waiting: no line
    inner.arrivals.push_back({0xAA, 0x00});
    std::uint32_t errors = 0, waiting = 0;
    driver.ClearErrors(errors, waiting);
    driver.Read(buffer, n);
  }
  std::fclose(trace);
  const std::string text = testing::ReadFileBytes(path);
  EXPECT_TRUE(std::regex_match(text, std::regex(" *[0-9]+\\.[0-9]{3} TX 55 0A\n *[0-9]+\\.[0-9]{3} RX AA 00\n"))) << text;
}

}  // namespace
}  // namespace quillon
