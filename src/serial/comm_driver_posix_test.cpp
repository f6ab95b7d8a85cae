// The platform driver against a real line: a pseudo-terminal.

#include <gtest/gtest.h>

#include "serial/serial_port.h"
#include "testing/serial_waits.h"
#include "testing/temp_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include <chrono>
#include <thread>

#include "base/posix_call.h"
#include "testing/faulty_calls.h"

namespace quillon {
namespace {

using testing::LogMessages;
using testing::ExpectWaitTimesOut;
using testing::TempDir;

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    slave_ = ::ptsname(master_);
  }
  void TearDown() override {
    if (master_ >= 0) ::close(master_);
  }
  // Waits (bounded) until the port has `n` bytes waiting.
  void AwaitQueued(const std::string& device, int n) {
    (void)device;
    for (int i = 0; i < 200; ++i) {
      std::uint32_t errors = 0, waiting = 0;
      if (driver_->ClearErrors(errors, waiting) && static_cast<int>(waiting) >= n) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FAIL() << "bytes did not arrive";
  }
  std::vector<std::uint8_t> ReadMaster(std::size_t n) {
    std::vector<std::uint8_t> got;
    while (got.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) break;
      std::uint8_t buffer[512];
      const ssize_t r = ::read(master_, buffer, sizeof buffer);
      if (r <= 0) break;
      got.insert(got.end(), buffer, buffer + r);
    }
    return got;
  }

  int master_ = -1;
  std::string slave_;
  TempDir dir_;
  EventLog log_{dir_ / "q.sts"};
  std::unique_ptr<CommDriver> driver_ = MakePlatformCommDriver();
  SerialPort port_{*driver_, log_};
};

TEST_F(PtyTest, OpenIsExclusive) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  auto other_driver = MakePlatformCommDriver();
  SerialPort other(*other_driver, log_);
  EXPECT_EQ(other.OpenPort(slave_), 0);
  EXPECT_EQ(LogMessages(dir_ / "q.sts"), std::vector<std::string>{slave_ + "Open Error"});
  port_.ClosePort();
  EXPECT_EQ(other.OpenPort(slave_), 1);
}

TEST_F(PtyTest, ReadsNeverWaitAndLeaveWhatIsBeyondCapacity) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  std::array<std::uint8_t, 32> buffer{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port_.ReadCom(buffer), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  std::vector<std::uint8_t> forty(40, 0xA5);
  ASSERT_EQ(::write(master_, forty.data(), forty.size()), 40);
  AwaitQueued(slave_, 40);
  EXPECT_EQ(port_.ReadCom(buffer), 32);
  EXPECT_EQ(port_.ReadCom(buffer), 8);
  EXPECT_EQ(port_.ReadCom(buffer), 0);
}

TEST_F(PtyTest, EveryByteValuePassesBothWays) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(port_.WriteCom(all), 256);
  EXPECT_EQ(ReadMaster(256), all);

  ASSERT_EQ(::write(master_, all.data(), all.size()), 256);
  AwaitQueued(slave_, 256);
  std::array<std::uint8_t, 256> buffer{};
  ASSERT_EQ(port_.ReadCom(buffer), 256);
  EXPECT_TRUE(std::equal(all.begin(), all.end(), buffer.begin()));
}

TEST_F(PtyTest, RateChangeIsSeenAtTheOtherEnd) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  termios t{};
  ASSERT_EQ(::tcgetattr(master_, &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
  ASSERT_EQ(port_.SetBaudrate(115200), 1);
  ASSERT_EQ(::tcgetattr(master_, &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

// The next program to open the line finds it as this one found it.
TEST_F(PtyTest, CloseGivesTheLineSettingsBack) {
  termios before{};
  ASSERT_EQ(::tcgetattr(master_, &before), 0);
  ASSERT_EQ(::cfsetospeed(&before, B9600), 0);
  before.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(::tcsetattr(master_, TCSANOW, &before), 0);
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  ASSERT_EQ(port_.SetBaudrate(115200), 1);
  port_.ClosePort();
  termios after{};
  ASSERT_EQ(::tcgetattr(master_, &after), 0);
  EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

TEST_F(PtyTest, HangUpIsAFailedReadAtOnce) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  ::close(master_);
  master_ = -1;
  std::array<std::uint8_t, 32> buffer{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port_.ReadCom(buffer), -1);
  const std::array<std::uint8_t, 3> bytes{1, 2, 3};
  EXPECT_LT(port_.WriteCom(bytes), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(LogMessages(dir_ / "q.sts"), std::vector<std::string>{" ReadCom() : ReadFile() Error"});
}

TEST_F(PtyTest, WaitForInputWakesOnAByteAndEndsOnAHangUp) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  using Clock = std::chrono::steady_clock;
  ExpectWaitTimesOut(port_, 30, 30);

  // A byte that comes 20 ms into a 2 s wait ends it then.
  std::thread device([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint8_t answer = 0x06;
    EXPECT_EQ(::write(master_, &answer, 1), 1);
  });
  auto start = Clock::now();
  EXPECT_EQ(port_.WaitForInput(2000), InputWait::kInput);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  device.join();
  // Bytes already waiting end a wait at once and are left for the read.
  EXPECT_EQ(port_.WaitForInput(2000), InputWait::kInput);
  std::array<std::uint8_t, 32> buffer{};
  EXPECT_EQ(port_.ReadCom(buffer), 1);
  EXPECT_EQ(buffer[0], 0x06);

  ::close(master_);
  master_ = -1;
  start = Clock::now();
  EXPECT_EQ(port_.WaitForInput(2000), InputWait::kLineGone);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(port_.ReadCom(buffer), -1);
  EXPECT_TRUE(port_.LineGone());
}

TEST_F(PtyTest, OpensWhereLowLatencyModeIsRefused) {
  // A pseudo-terminal knows no serial flags: the port opens as any other, with no record.
  ASSERT_EQ(port_.OpenPort(slave_), 1);
#ifdef __linux__
  serial_struct serial{};
  const int probe = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (probe >= 0) {
    EXPECT_NE(::ioctl(probe, TIOCGSERIAL, &serial), 0);
    ::close(probe);
  }
#endif
  EXPECT_TRUE(LogMessages(dir_ / "q.sts").empty());
  port_.ClosePort();
  EXPECT_EQ(port_.OpenPort(slave_), 1);
}

#ifdef TIOCGEXCL
TEST_F(PtyTest, ASignalGivesTheExclusiveUseAndTheLineSettingsBack) {
  termios found{};
  {
    const int probe = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    ASSERT_EQ(::tcgetattr(probe, &found), 0);
    ::close(probe);
  }
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  const int other = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other < 0) GTEST_SKIP() << "this user cannot open an exclusive tty a second time";
  int exclusive = 0;
  ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  // The update moved the line to 115200 raw; the emergency path puts back what it found.
  ASSERT_EQ(port_.SetBaudrate(115200), 1);
  termios moved{};
  ASSERT_EQ(::tcgetattr(other, &moved), 0);
  ASSERT_EQ(::cfgetospeed(&moved), B115200);
  RestorePortsForSignal();
  ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  termios back{};
  ASSERT_EQ(::tcgetattr(other, &back), 0);
  EXPECT_EQ(::cfgetospeed(&back), ::cfgetospeed(&found));
  EXPECT_EQ(back.c_lflag, found.c_lflag);
  ::close(other);
}
#endif

// The system's calls with a write that a real line rarely shows on demand: every write is cut
// short, interrupted by a signal, or refused for now, in turn. Everything still reaches the
// other end once, in order, and reads that meet EINTR or EAGAIN lose nothing.
class ChoppyCalls final : public posix::Calls {
 public:
  ssize_t write(int fd, const void* bytes, size_t size) override {
    switch (writes++ % 4) {
      case 0: return posix::Calls::write(fd, bytes, std::min<size_t>(size, 3));
      case 1: errno = EINTR; return -1;
      case 2: errno = EAGAIN; return -1;
      default: return posix::Calls::write(fd, bytes, size);
    }
  }
  ssize_t read(int fd, void* buffer, size_t size) override {
    if (reads++ % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return posix::Calls::read(fd, buffer, size);
  }
  int writes = 0, reads = 0;
};

TEST_F(PtyTest, ShortWritesEintrAndEagainLoseNoByte) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  ChoppyCalls calls;
  posix::ScopedCalls scoped(calls);
  std::vector<std::uint8_t> bytes(300);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  for (std::size_t at = 0; at < bytes.size(); at += 100) {
    EXPECT_EQ(port_.WriteCom(std::span(bytes).subspan(at, 100)), 100);
  }
  EXPECT_GE(calls.writes, 8);
  EXPECT_EQ(ReadMaster(bytes.size()), bytes);
  const std::uint8_t answer[] = {0x06, 0x11};
  ASSERT_EQ(::write(master_, answer, sizeof answer), 2);
  AwaitQueued(slave_, 2);
  std::array<std::uint8_t, 8> got{};
  EXPECT_EQ(port_.ReadCom(got), 2);
  EXPECT_EQ(got[0], 0x06);
  EXPECT_EQ(got[1], 0x11);
  EXPECT_GE(calls.reads, 2);
  EXPECT_TRUE(LogMessages(dir_ / "q.sts").empty());
}

TEST_F(PtyTest, MissingDeviceCannotBeOpened) {
  EXPECT_EQ(port_.OpenPort(dir_.path().string() + "/ttyNone"), 0);
  EXPECT_FALSE(port_.IsOpen());
}

// Each system call of opening a port failing once: the port is not opened, stays closed, and
// the log has the one record of the step that failed (the log's own calls go through).
struct OpenFault {
  const char* name;
  posix::Call call;
  int error;
  const char* record;  ///< after the device's name for "Open Error"
};

class OpenFaultTest : public PtyTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(OpenFaultTest, ThePortStaysClosedWithTheRecordOfItsStep) {
  const OpenFault& fault = GetParam();
  testing::FaultyCalls calls;
  posix::ScopedCalls scoped(calls);
  calls.Fail(fault.call, 1, fault.error);
  EXPECT_EQ(port_.OpenPort(slave_), 0);
  EXPECT_FALSE(port_.IsOpen());
  const std::string record = std::string(fault.record) == "Open Error" ? slave_ + "Open Error" : fault.record;
  EXPECT_EQ(LogMessages(dir_ / "q.sts"), std::vector<std::string>{record});
  // Nothing held: the next open, without the fault, takes the port.
  EXPECT_EQ(port_.OpenPort(slave_), 1);
  port_.ClosePort();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OpenFaultTest,
    ::testing::Values(OpenFault{"open", posix::Call::kOpen, EBUSY, "Open Error"},
                      OpenFault{"exclusive", posix::Call::kIoctl, EBUSY, "Open Error"},
                      OpenFault{"flock", posix::Call::kFlock, EWOULDBLOCK, "Open Error"},
                      OpenFault{"tcsetattr", posix::Call::kTcsetattr, EIO, "SetCommState() Error Baudrate = 19200"}),
    [](const auto& info) { return std::string(info.param.name); });

// A drain the line refuses loses nothing: the bytes were handed over, and whatever went wrong
// with the line shows in the answer that does not come.
TEST_F(PtyTest, ADrainTheLineRefusesStillSendsEveryByte) {
  ASSERT_EQ(port_.OpenPort(slave_), 1);
  testing::FaultyCalls calls;
  posix::ScopedCalls scoped(calls);
  calls.Fail(posix::Call::kTcdrain, 1, EIO, true);
  const std::vector<std::uint8_t> bytes{0x55, 0x01, 0x02};
  EXPECT_EQ(port_.WriteCom(bytes), 3);
  EXPECT_EQ(ReadMaster(bytes.size()), bytes);
  EXPECT_GE(calls.count(posix::Call::kTcdrain), 1);
  EXPECT_TRUE(LogMessages(dir_ / "q.sts").empty());
}

}  // namespace
}  // namespace quillon
