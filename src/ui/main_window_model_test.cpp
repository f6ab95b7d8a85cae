#include "ui/main_window_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/messages.h"
#include "testing/fake_comm_driver.h"
#include "testing/fake_device.h"
#include "testing/fakes.h"
#include "testing/temp_dir.h"
#ifdef __linux__
#include "testing/fake_sysfs.h"
#endif

namespace quillon {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

class MainWindowModelTest : public ::testing::Test {
 protected:
  MainWindowModel& Init(const std::string& ini = "", PortLister lister = {}) {
    if (!ini.empty()) dir_.Write("quillon.ini", ini);
    auto driver = std::make_unique<testing::FakeCommDriver>();
    driver_ = driver.get();
    model_ = std::make_unique<MainWindowModel>(std::move(driver), std::make_unique<testing::FakePause>());
    model_->ListPortsWith(std::move(lister));
    model_->OnInitDialog((dir_ / "quillon").string());
    return *model_;
  }
  TempDir dir_;
  testing::FakeCommDriver* driver_ = nullptr;
  std::unique_ptr<MainWindowModel> model_;
};

TEST_F(MainWindowModelTest, NoSettingsFileGivesTwentyPortsAndThePrompt) {
  auto& m = Init();
  ASSERT_EQ(m.ComList().size(), 20u);
  EXPECT_EQ(m.ComList().front().text, "COM1");
  EXPECT_EQ(m.ComList().back().text, "COM20");
  EXPECT_EQ(m.ComList().back().item_data, 20);
  EXPECT_EQ(m.ComSelection(), 0);
  EXPECT_TRUE(m.ComListEnabled());
  EXPECT_EQ(m.FileNameText(), "ファイルを選択してください");
  EXPECT_EQ(m.settings().IniPath, (dir_ / "quillon.ini").string());
  EXPECT_EQ(m.settings().StsPath, (dir_ / "quillon.sts").string());
}

struct ComListCase {
  const char* name;
  std::string ini;
  std::size_t entries;
  int selection;
  bool enabled;
  int com;
};

class ComListTest : public MainWindowModelTest, public ::testing::WithParamInterface<ComListCase> {};

TEST_P(ComListTest, EntriesSelectionAndCom) {
  auto& m = Init(GetParam().ini);
  EXPECT_EQ(m.ComList().size(), GetParam().entries);
  EXPECT_EQ(m.ComSelection(), GetParam().selection);
  EXPECT_EQ(m.ComListEnabled(), GetParam().enabled);
  EXPECT_EQ(m.settings().Com, GetParam().com);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ComListTest,
    ::testing::Values(
        ComListCase{"two_with_com2", "[Main]\r\nMAXCOM=2\r\nCOM=2\r\n", 2, 1, true, 2},
        // One entry: the list is disabled, and its port is the one Send opens.
        ComListCase{"single_entry", "[Main]\r\nMAXCOM=1\r\n", 1, 0, false, 1},
        ComListCase{"com_beyond_list", "[Main]\r\nMAXCOM=5\r\nCOM=9\r\n", 5, 0, true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowModelTest, SelectionChangeSetsComAndCloseSavesIt) {
  auto& m = Init("[Main]\r\nMot File=/data/fw/v2.mot\r\n");
  EXPECT_EQ(m.FileNameText(), "v2.mot");
  m.OnComSelChange(6);
  EXPECT_EQ(m.settings().Com, 7);
  m.OnClose();
  EXPECT_NE(ReadFileBytes(dir_ / "quillon.ini").find("COM=7\r\n"), std::string::npos);
}

TEST_F(MainWindowModelTest, SingleEntryListStoresComOneNotMinusOne) {
  auto& m = Init("[Main]\r\nMAXCOM=1\r\n");
  m.OnClose();
  EXPECT_NE(ReadFileBytes(dir_ / "quillon.ini").find("COM=1\r\n"), std::string::npos);
}

TEST_F(MainWindowModelTest, BrowseStartsInTheProgramFolderUntilAFileIsChosen) {
  auto& m = Init();
  auto request = m.BrowseStart();
  EXPECT_EQ(request.start_directory, m.settings().ProgramDir);
  EXPECT_EQ(request.file_name, "");
  EXPECT_EQ(request.filter, "mot ﾌｧｲﾙ (*.mot)|*.mot||");
  EXPECT_EQ(request.title, "バージョンアップファイル選択");
  m.OnBrowseResult(std::nullopt);
  EXPECT_EQ(m.FileNameText(), "ファイルを選択してください");
  m.OnBrowseResult("/media/usb/new firmware.mot");
  EXPECT_EQ(m.FileNameText(), "new firmware.mot");
  request = m.BrowseStart();
  EXPECT_EQ(request.start_directory, "");
  EXPECT_EQ(request.file_name, "/media/usb/new firmware.mot");
  m.OnBrowseResult(std::nullopt);
  EXPECT_EQ(m.settings().MotFile, "/media/usb/new firmware.mot");
}

TEST_F(MainWindowModelTest, SendRunsTheWholeUpdateOnTheSelectedPort) {
  dir_.Write("nivaload.sub", "S1050000AB123D\r\n");
  const auto update = dir_.Write("u.mot", "S1050100AB123C\r\n").string();
  auto& m = Init("[Main]\r\nMot File=" + update + "\r\nCOM=2\r\n[Ports]\r\nCOM2=/dev/sim\r\n");
  testing::UpdateDevice device;
  device.Attach(*driver_, 2);
  testing::RecordingProgress progress;
  testing::RecordingPrompt prompt;
  EXPECT_EQ(m.OnSend(progress, prompt), kMsgUpdateFinished);
  EXPECT_THAT(prompt.calls, ::testing::ElementsAre("disable", "msg:202", "msg:205", "enable"));
  EXPECT_EQ(driver_->calls.front(), "open:" + PortDeviceName(2, {{2, "/dev/sim"}}));
}

#ifdef __linux__
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
  // COM1's ttyS0 has no UART behind it, COM2 is the real one, COM5 is taken by [Ports].
  EXPECT_THAT(Texts(),
              ::testing::ElementsAre("COM1  /dev/ttyUSB0  FT232R USB UART", "COM2  /dev/ttyS1",
                                     "COM3  /dev/ttyUSB1  FT232R USB UART", "COM4  /dev/ttyS3",
                                     "COM5  /dev/ttyUSB2  CP2102 USB to UART Bridge Controller",
                                     "COM6  /dev/ttyS5"));
  EXPECT_EQ(model_->ComSelection(), 3);
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
  EXPECT_EQ(model_->ComList()[2].text,
            "COM3  " + ById("FT232R USB UART", "A20K"));  // unplugged: its name
  EXPECT_TRUE(model_->AddedPorts().empty());
}

TEST_F(RealPortsTest, NoFreeNumberLeavesTheAdapterOut) {
  Init("[Main]\r\nMAXCOM=2\r\n", Lister());
  EXPECT_THAT(Texts(),
              ::testing::ElementsAre("COM1  /dev/ttyUSB0  FT232R USB UART", "COM2  /dev/ttyS1"));
  EXPECT_EQ(model_->AddedPorts().size(), 1u);
}
#endif

}  // namespace
}  // namespace quillon
