#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "testing/fake_sysfs.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class UsbPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Three FT232 adapters, numbered by the system in another order than their sockets.
    system_.Adapter("ttyUSB0", 3, "0403", "6001", "FT-C");
    system_.Adapter("ttyUSB1", 1, "0403", "6001", "FT-A");
    system_.Adapter("ttyUSB2", 2, "0403", "6001", "FT-B");
    system_.Adapter("ttyUSB3", 4, "10c4", "ea60", "0001");
    system_.Tty("ttyS0", system_.root() / "sys/devices/platform/serial8250/tty/ttyS0", "platform");
    ports_ = ListSerialPorts({}, system_.root());
  }
  std::vector<std::string> Match(const std::string& expression) {
    const UsbMatch match = MatchUsbPorts(expression, ports_);
    outcome_ = match.outcome;
    return match.outcome == UsbMatch::Outcome::kFound ? match.devices : std::vector<std::string>{};
  }

  testing::FakeSystem system_;
  std::vector<SerialPortInfo> ports_;
  UsbMatch::Outcome outcome_ = UsbMatch::Outcome::kFound;
};

TEST_F(UsbPortsTest, ListsTheAdaptersWithTheirIdsAndSocketsButNoPlatformUart) {
  ASSERT_EQ(ports_.size(), 4u);
  EXPECT_EQ(ports_[0].device, "/dev/ttyUSB0");
  EXPECT_EQ(ports_[0].vid, "0403");
  EXPECT_EQ(ports_[0].serial, "FT-C");
  EXPECT_THAT(ports_[0].by_path, ElementsAre("/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"));
}

// quillon-cli ports names each device by the COM number that --port COMn opens.
TEST_F(UsbPortsTest, ComNumbersAreTheOnesThePortOptionOpens) {
  system_.Tty("ttyS1", system_.root() / "sys/devices/pnp0/00:05/tty/ttyS1", "pnp");
  system_.Tty("ttyS2", system_.root() / "sys/devices/pnp0/00:06/tty/ttyS2", "pnp");
  const std::map<int, std::string> map{{2, "/dev/ttyUSB1"}};
  std::map<std::string, std::optional<int>> com;
  for (const auto& port : ListSerialPorts(map, system_.root())) com[port.device] = port.com;
  EXPECT_EQ(com["/dev/ttyUSB1"], 2);
  EXPECT_EQ(com["/dev/ttyS1"], std::nullopt);  // COM2 opens ttyUSB1, not ttyS1
  EXPECT_EQ(com["/dev/ttyS2"], 3);
  EXPECT_EQ(com.count("/dev/ttyS0"), 0u);  // a platform UART with nothing behind it
}

TEST_F(UsbPortsTest, AnExpressionMatchesEveryAdapterInSocketOrder) {
  EXPECT_THAT(Match("usb:0403:6001"), ElementsAre("/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB0"));
  EXPECT_THAT(Match("usb:0403:6001:FT-B"), ElementsAre("/dev/ttyUSB2"));
  EXPECT_THAT(Match("usb:10C4:EA60"), ElementsAre("/dev/ttyUSB3"));
}

TEST_F(UsbPortsTest, NothingMatchingSaysWhy) {
  EXPECT_THAT(Match("usb:0403:6001:FT-Z"), IsEmpty());
  EXPECT_EQ(outcome_, UsbMatch::Outcome::kNoneFound);
  EXPECT_THAT(Match("usb:0403:6015"), IsEmpty());
  EXPECT_EQ(outcome_, UsbMatch::Outcome::kNoneFound);
  for (const char* malformed : {"usb:403:6001", "usb:0403", "usb:0403:6001:", "usb:04g3:6001", "usb:"}) {
    EXPECT_THAT(Match(malformed), IsEmpty()) << malformed;
    EXPECT_EQ(outcome_, UsbMatch::Outcome::kMalformed) << malformed;
  }
}

// A two-port adapter (FT2232: one serial number, interfaces 0 and 1) and two clones that
// report one serial number between them.
TEST_F(UsbPortsTest, AnInterfacePicksOnePortAndASharedSerialNumberIsNeverAGuess) {
  system_.Adapter("ttyUSB4", 5, "0403", "6010", "FT2232", 0);
  system_.Adapter("ttyUSB5", 5, "0403", "6010", "FT2232", 1);
  system_.Adapter("ttyUSB6", 6, "1a86", "7523", "CLONE");
  system_.Adapter("ttyUSB7", 7, "1a86", "7523", "CLONE");
  system_.Adapter("ttyUSB8", 8, "0403", "6001", "AB:01");
  ports_ = ListSerialPorts({}, system_.root());
  EXPECT_THAT(Match("usb:0403:6010:FT2232"), ElementsAre("/dev/ttyUSB4", "/dev/ttyUSB5"));
  EXPECT_THAT(Match("usb:0403:6010:FT2232:1"), ElementsAre("/dev/ttyUSB5"));
  EXPECT_THAT(Match("usb:0403:6010:FT2232:00"), ElementsAre("/dev/ttyUSB4"));
  EXPECT_THAT(Match("usb:0403:6010:FT2232:2"), IsEmpty());
  EXPECT_EQ(outcome_, UsbMatch::Outcome::kNoneFound);
  // A serial number with a colon in it is taken whole before anything is read as an interface.
  EXPECT_THAT(Match("usb:0403:6001:AB:01"), ElementsAre("/dev/ttyUSB8"));
  const UsbMatch clones = MatchUsbPorts("usb:1a86:7523:CLONE", ports_);
  EXPECT_EQ(clones.outcome, UsbMatch::Outcome::kAmbiguous);
  EXPECT_THAT(clones.devices, ElementsAre("/dev/ttyUSB6", "/dev/ttyUSB7"));
  // Without a serial number every adapter of the kind is wanted, clones included.
  EXPECT_THAT(Match("usb:1a86:7523"), ElementsAre("/dev/ttyUSB6", "/dev/ttyUSB7"));
  EXPECT_THAT(SharedUsbSerialNumbers(ports_), ElementsAre(ElementsAre("/dev/ttyUSB6", "/dev/ttyUSB7")));
}

TEST(PortDeviceNameTest, ComNumberToDevice) {
  EXPECT_EQ(PortDeviceName(1, {}), "/dev/ttyS0");
  EXPECT_EQ(PortDeviceName(12, {{12, "/dev/serial/by-id/usb-FTDI"}}), "/dev/serial/by-id/usb-FTDI");
}

}  // namespace
}  // namespace quillon
