#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_sysfs.h"
#include "ui/main_window_model_fixture_test.h"

namespace quillon {
namespace {

using testing::ReadFileBytes;

// The Linux desktop program's COM list over a made-up system: a real UART at ttyS1, two FT232R
// adapters and a CP2102 that [Ports] already names by its by-id link.
class RealPortsTest : public MainWindowModelTest {
 protected:
  void SetUp() override {
    system_.Tty("ttyS0", system_.root() / "sys/devices/platform/serial8250/tty/ttyS0", "platform");
    system_.Tty("ttyS1", system_.root() / "sys/devices/pnp0/00:05/tty/ttyS1", "pnp");
    system_.Adapter("ttyUSB0", 2, "0403", "6001", "A10K", 0, "FT232R USB UART");
    system_.Adapter("ttyUSB1", 1, "0403", "6001", "A20K", 0, "FT232R USB UART");
    system_.Adapter("ttyUSB2", 3, "10c4", "ea60", "0001", 0,
                    "CP2102 USB to UART Bridge Controller");
  }
  PortLister Lister() const {
    return [root = system_.root()](const std::map<int, std::string>& ports) {
      return ListSerialPorts(ports, root);
    };
  }
  static std::string ById(const std::string& product, const std::string& serial) {
    return "/dev/serial/by-id/" + testing::FakeSystem::ById(product, serial);
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& entry : model_->ComList()) texts.push_back(entry.text);
    return texts;
  }
  testing::FakeSystem system_;
};

TEST_F(RealPortsTest, AdaptersGetTheFreeNumbersAndKeepThemFromCloseOn) {
  const std::string cp2102 = ById("CP2102 USB to UART Bridge Controller", "0001");
  Init("[Main]\r\nMAXCOM=6\r\nCOM=4\r\n[Ports]\r\nCOM5=" + cp2102 + "\r\n", Lister());
  // COM1's ttyS0 has no UART behind it, COM2 is the real one, COM5 is taken by [Ports]; COM6's
  // ttyS5 does not exist and is left out, COM4's neither but it is the chosen one.
  EXPECT_THAT(Texts(),
              ::testing::ElementsAre("COM1  /dev/ttyUSB0  FT232R USB UART", "COM2  /dev/ttyS1",
                                     "COM3  /dev/ttyUSB1  FT232R USB UART", "COM4  /dev/ttyS3",
                                     "COM5  /dev/ttyUSB2  CP2102 USB to UART Bridge Controller"));
  EXPECT_EQ(model_->ComSelection(), 3);
  EXPECT_EQ(model_->settings().Com, 4);
  // Send on COM1 opens the adapter, through its by-id name.
  EXPECT_EQ(model_->settings().Ports.at(1), ById("FT232R USB UART", "A10K"));
  model_->OnClose();
  const std::string ini = ReadFileBytes(dir_ / "quillon.ini");
  EXPECT_THAT(ini, ::testing::HasSubstr("COM1=" + ById("FT232R USB UART", "A10K") + "\r\n"));
  EXPECT_THAT(ini, ::testing::HasSubstr("COM3=" + ById("FT232R USB UART", "A20K") + "\r\n"));
  EXPECT_THAT(ini, ::testing::HasSubstr("COM5=" + cp2102 + "\r\n"));

  // The next start: the same numbers, even with the adapters numbered otherwise by the
  // system, and nothing new to add.
  testing::FakeSystem renumbered;
  renumbered.Adapter("ttyUSB3", 2, "0403", "6001", "A10K", 0, "FT232R USB UART");
  Init("", [root = renumbered.root()](const std::map<int, std::string>& ports) {
    return ListSerialPorts(ports, root);
  });
  EXPECT_EQ(model_->ComList()[0].text, "COM1  /dev/ttyUSB3  FT232R USB UART");
  // Unplugged, COM3 is left out; the chosen COM4 stays.
  EXPECT_THAT(Texts(), ::testing::ElementsAre("COM1  /dev/ttyUSB3  FT232R USB UART", "COM4  /dev/ttyS3"));
  EXPECT_TRUE(model_->AddedPorts().empty());
}

TEST_F(RealPortsTest, NoFreeNumberLeavesTheAdapterOut) {
  Init("[Main]\r\nMAXCOM=2\r\n", Lister());
  EXPECT_THAT(Texts(),
              ::testing::ElementsAre("COM1  /dev/ttyUSB0  FT232R USB UART", "COM2  /dev/ttyS1"));
  EXPECT_EQ(model_->AddedPorts().size(), 1u);
}

}  // namespace
}  // namespace quillon
