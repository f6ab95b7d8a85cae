#include "serial/serial_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_comm_driver.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::FakeCommDriver;
using testing::LogMessages;
using testing::TempDir;

class SerialPortTest : public ::testing::Test {
 protected:
  std::vector<std::string> Records() const { return LogMessages(dir_ / "q.sts"); }
  TempDir dir_;
  EventLog log_{dir_ / "q.sts"};
  FakeCommDriver driver_;
  SerialPort port_{driver_, log_};
};

TEST_F(SerialPortTest, OpensAt19200WithLineSettingsAndTimeouts) {
  ASSERT_EQ(port_.OpenPort("\\\\.\\COM3"), 1);
  EXPECT_THAT(driver_.calls, ElementsAre("open:\\\\.\\COM3", "queues:1200/1200", "state:19200",
                                         "timeouts", "timeouts"));
  const auto& s = driver_.state;
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, 0);
  EXPECT_EQ(s.StopBits, 0);
  EXPECT_TRUE(s.fParity);
  EXPECT_FALSE(s.fOutX || s.fInX || s.fTXContinueOnXoff || s.fErrorChar);
  const auto& t = driver_.timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 1000u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_TRUE(Records().empty());
}

TEST_F(SerialPortTest, OpenWhileOpenClosesFirstAndReturnsTo19200) {
  ASSERT_EQ(port_.OpenPort("/dev/ttyS0"), 1);
  ASSERT_EQ(port_.SetBaudrate(115200), 1);
  driver_.calls.clear();
  ASSERT_EQ(port_.OpenPort("/dev/ttyS0"), 1);
  EXPECT_EQ(driver_.calls.front(), "close");
  EXPECT_EQ(driver_.state.BaudRate, 19200u);
}

struct OpenFailure {
  const char* name;
  std::function<void(FakeCommDriver&)> script;
  std::string record;
};

class OpenFailureTest : public SerialPortTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, LeavesPortClosedWithOneRecord) {
  GetParam().script(driver_);
  EXPECT_EQ(port_.OpenPort("\\\\.\\COM3"), 0);
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_THAT(Records(), ElementsAre(GetParam().record));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OpenFailureTest,
    ::testing::Values(
        OpenFailure{"absent_or_in_use", [](auto& d) { d.open_ok = false; }, "\\\\.\\COM3Open Error"},
        OpenFailure{"queues_refused", [](auto& d) { d.setup_ok = false; }, "SetupComm() Error"},
        OpenFailure{"settings_refused", [](auto& d) { d.accept_state = [](const auto&) { return false; }; },
                    "SetCommState() Error Baudrate = 19200"},
        OpenFailure{"read_timeouts_refused", [](auto& d) { d.timeouts_accepted = 0; }, "RecvTimeOut() Error "},
        OpenFailure{"write_timeouts_refused", [](auto& d) { d.timeouts_accepted = 1; }, "SendTimeOut() Error "}),
    [](const auto& info) { return std::string(info.param.name); });

struct RateCase {
  std::int32_t requested;
  std::uint32_t set;
};

class SetBaudrateTest : public SerialPortTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(SetBaudrateTest, MapsTheRateAndNamesTheRequestWhenRefused) {
  ASSERT_EQ(port_.OpenPort("p"), 1);
  ASSERT_EQ(port_.SetBaudrate(GetParam().requested), 1);
  EXPECT_EQ(driver_.state.BaudRate, GetParam().set);
  driver_.accept_state = [](const auto&) { return false; };
  EXPECT_EQ(port_.SetBaudrate(GetParam().requested), 0);
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_THAT(Records(), ElementsAre("SetCommState() Error Baudrate = " + std::to_string(GetParam().requested)));
}

INSTANTIATE_TEST_SUITE_P(Rates, SetBaudrateTest,
                         ::testing::Values(RateCase{115200, 115200}, RateCase{4800, 4800},
                                           RateCase{57600, 57600}, RateCase{300, 19200},
                                           RateCase{2400, 19200}, RateCase{-1, 19200}));

TEST_F(SerialPortTest, ReadWithNothingWaitingLeavesBufferAlone) {
  ASSERT_EQ(port_.OpenPort("p"), 1);
  std::array<std::uint8_t, 32> buffer;
  buffer.fill(0x5A);
  EXPECT_EQ(port_.ReadCom(buffer), 0);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0x5A; }));
}

TEST_F(SerialPortTest, ParityErrorDropsTheWaitingBytes) {
  ASSERT_EQ(port_.OpenPort("p"), 1);
  driver_.incoming = {1, 2, 3, 4, 5};
  driver_.pending_errors = kCeRxParity | kCeFrame;
  std::array<std::uint8_t, 32> buffer{};
  EXPECT_EQ(port_.ReadCom(buffer), 0);
  EXPECT_TRUE(driver_.incoming.empty());
  EXPECT_THAT(Records(), ElementsAre(" ReadCom() Parity Error Count = 5"));
}

TEST_F(SerialPortTest, OtherLineErrorLeavesBytesQueued) {
  ASSERT_EQ(port_.OpenPort("p"), 1);
  driver_.incoming = {1, 2, 3};
  driver_.pending_errors = kCeFrame;
  std::array<std::uint8_t, 32> buffer{};
  EXPECT_EQ(port_.ReadCom(buffer), -1);
  EXPECT_EQ(port_.ReadCom(buffer), 3);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_THAT(Records(), ElementsAre(" ReadCom() :Error Code = 8"));
}

TEST_F(SerialPortTest, FailedReadAndVanishedDevice) {
  ASSERT_EQ(port_.OpenPort("p"), 1);
  driver_.incoming = {1};
  driver_.read_ok = false;
  std::array<std::uint8_t, 32> buffer{};
  EXPECT_EQ(port_.ReadCom(buffer), -1);
  driver_.clear_errors_ok = false;
  EXPECT_EQ(port_.ReadCom(buffer), -1);
  EXPECT_THAT(Records(), ElementsAre(" ReadCom() : ReadFile() Error", " ReadCom() : ReadFile() Error"));
}

TEST_F(SerialPortTest, ReadNeverExceedsCapacityAndKeepsTheRest) {
  ASSERT_EQ(port_.OpenPort("p"), 1);
  driver_.incoming.assign(40, 0x77);
  std::array<std::uint8_t, 32> buffer{};
  EXPECT_EQ(port_.ReadCom(buffer), 32);
  EXPECT_EQ(port_.ReadCom(buffer), 8);
}

TEST_F(SerialPortTest, WriteOfNothingOrOnClosedPortTouchesNoDriver) {
  const std::uint8_t byte = 0x55;
  EXPECT_EQ(port_.WriteCom({&byte, 1}), 0);
  ASSERT_EQ(port_.OpenPort("p"), 1);
  const int before = driver_.driver_calls;
  EXPECT_EQ(port_.WriteCom({}), 0);
  EXPECT_EQ(driver_.driver_calls, before);
}

TEST_F(SerialPortTest, WriteDrainsAndReportsWhatWasWritten) {
  ASSERT_EQ(port_.OpenPort("p"), 1);
  driver_.calls.clear();
  const std::array<std::uint8_t, 4> bytes{1, 2, 3, 4};
  EXPECT_EQ(port_.WriteCom(bytes), 4);
  driver_.write_count = [](auto) { return std::size_t{3}; };
  EXPECT_EQ(port_.WriteCom(bytes), 3);
  EXPECT_THAT(driver_.calls, ElementsAre("write:4", "flush", "write:3", "flush"));
  EXPECT_TRUE(Records().empty());
}

}  // namespace
}  // namespace quillon
