#include "ui/main_window_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/messages.h"
#include "testing/fake_comm_driver.h"
#include "testing/fake_device.h"
#include "testing/fakes.h"
#include "testing/temp_dir.h"
#include "ui/main_window_model_fixture_test.h"

namespace quillon {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

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

// A port that cannot be used is found before anyone is asked to restart a device: the run
// ends with 504 and its record, the port untouched, and the box can say why.
TEST_F(MainWindowModelTest, APortThatCannotBeUsedEndsTheRunBeforeTheBootModeQuestion) {
  dir_.Write("nivaload.sub", "S1050000AB123D\r\n");
  const auto update = dir_.Write("u.mot", "S1050100AB123C\r\n").string();
  auto& m = Init("[Main]\r\nMot File=" + update + "\r\nCOM=2\r\n[Ports]\r\nCOM2=/dev/sim\r\n");
  std::vector<std::string> checked;
  m.CheckPortsWith([&checked](const std::string& device) {
    checked.push_back(device);
    PortFinding missing;
    missing.kind = PortFinding::Kind::kMissing;
    missing.ok = false;
    missing.device = device;
    return std::vector<PortFinding>{missing};
  });
  testing::RecordingProgress progress;
  testing::RecordingPrompt prompt;
  EXPECT_EQ(m.OnSend(progress, prompt), kMsgPortOpenFailed);
  EXPECT_THAT(prompt.calls, ::testing::ElementsAre("disable", "msg:504", "enable"));
  const std::string device = PortDeviceName(2, {{2, "/dev/sim"}});
  EXPECT_THAT(checked, ::testing::ElementsAre(device));
  EXPECT_TRUE(driver_->calls.empty());
  EXPECT_THAT(ReadFileBytes(dir_ / "quillon.sts"), ::testing::HasSubstr(device + "Open Error"));
  const std::string detail = m.FailureDetail(kMsgPortOpenFailed, Language::kEnglish);
  EXPECT_THAT(detail, ::testing::HasSubstr(device + " does not exist"));
  EXPECT_THAT(detail, ::testing::HasSubstr((dir_ / "quillon.sts").string()));
}

// A failed transfer's box says where it stopped and what the log has of it.
TEST_F(MainWindowModelTest, AFailedRunsDetailHasItsStopAndItsRecords) {
  dir_.Write("nivaload.sub", "S1050000AB123D\r\n");
  const auto update = dir_.Write("u.mot", "S1050100AB123C\r\n").string();
  auto& m = Init("[Main]\r\nMot File=" + update + "\r\nCOM=2\r\n[Ports]\r\nCOM2=/dev/sim\r\n");
  m.CheckPortsWith([](const std::string&) { return std::vector<PortFinding>{}; });
  testing::UpdateDevice device;
  device.bitrate_ack = {{0x15}};
  device.Attach(*driver_, 2);
  testing::RecordingProgress progress;
  testing::RecordingPrompt prompt;
  EXPECT_EQ(m.OnSend(progress, prompt), kMsgDataSendFailed);
  EXPECT_THAT(prompt.calls, ::testing::ElementsAre("disable", "msg:202", "msg:503", "enable"));
  EXPECT_THAT(m.FailureDetail(kMsgDataSendFailed, Language::kEnglish),
              ::testing::HasSubstr("stopped in handshake; the log says: Ack Error; SEND TRANSMIT ERROR."));
}

}  // namespace
}  // namespace quillon
