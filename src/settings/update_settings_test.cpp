#include "settings/update_settings.h"

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

TEST(LoadSettingsTest, NoFileGivesDefaultsAndSaveCreatesAllSixKeys) {
  TempDir dir;
  auto store = OpenProfileStore(dir / "quillon.ini");
  UpdateSettings settings;
  LoadSettings(settings, *store);
  EXPECT_EQ(settings.MotFile, "");
  EXPECT_EQ(settings.InfoFile, "nivaload.sub");
  EXPECT_EQ(settings.Baudrate, 115200);
  EXPECT_EQ(settings.MaxCom, 20);
  EXPECT_EQ(settings.Com, 1);
  EXPECT_EQ(settings.SendWait, 10);
  SaveSettings(settings, *store);
  EXPECT_EQ(ReadFileBytes(dir / "quillon.ini"),
            "[Main]\r\nMot File=\r\nInfo File=nivaload.sub\r\nBaudrate=115200\r\nCOM=1\r\n"
            "MAXCOM=20\r\nSendWait=10\r\n");
}

struct Replacement {
  const char* name;
  std::string main_section;
  std::int32_t baudrate, max_com, com, send_wait;
  std::string replaced;  ///< what LoadSettings says it replaced: "KEY:read>used ..."
};

class ReplacementTest : public ::testing::TestWithParam<Replacement> {};

TEST_P(ReplacementTest, OutOfRangeValuesAreReplaced) {
  TempDir dir;
  auto store = OpenProfileStore(dir.Write("q.ini", "[Main]\r\n" + GetParam().main_section));
  UpdateSettings settings;
  std::vector<SettingReplaced> replaced;
  LoadSettings(settings, *store, &replaced);
  std::string said;
  for (const auto& r : replaced) said += (said.empty() ? "" : " ") + r.key + ":" + std::to_string(r.read) + ">" + std::to_string(r.used);
  EXPECT_EQ(said, GetParam().replaced);
  EXPECT_EQ(settings.Baudrate, GetParam().baudrate);
  EXPECT_EQ(settings.MaxCom, GetParam().max_com);
  EXPECT_EQ(settings.Com, GetParam().com);
  EXPECT_EQ(settings.SendWait, GetParam().send_wait);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReplacementTest,
    ::testing::Values(Replacement{"baud_2400", "Baudrate=2400\r\n", 19200, 20, 1, 10, "Baudrate:2400>19200"},
                      Replacement{"baud_57600", "Baudrate=57600\r\n", 57600, 20, 1, 10, ""},
                      Replacement{"maxcom_0", "MAXCOM=0\r\nCOM=5\r\n", 115200, 20, 5, 10, "MAXCOM:0>20"},
                      Replacement{"maxcom_100", "MAXCOM=100\r\n", 115200, 20, 1, 10, "MAXCOM:100>20"},
                      Replacement{"maxcom_99", "MAXCOM=99\r\nCOM=99\r\n", 115200, 99, 99, 10, ""},
                      Replacement{"com_above_maxcom", "MAXCOM=20\r\nCOM=25\r\n", 115200, 20, 1, 10, "COM:25>1"},
                      Replacement{"com_0", "COM=0\r\n", 115200, 20, 1, 10, "COM:0>1"},
                      Replacement{"com_at_maxcom", "MAXCOM=20\r\nCOM=20\r\n", 115200, 20, 20, 10, ""},
                      Replacement{"com_unsigned_minus_one", "COM=4294967295\r\n", 115200, 20, 1, 10, "COM:-1>1"},
                      Replacement{"send_wait_as_read", "SendWait=-3\r\n", 115200, 20, 1, -3, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SaveSettingsTest, MinusOneComIsStoredUnsignedAndPortsSurvive) {
  TempDir dir;
  auto path = dir.Write("q.ini", "[Main]\r\nCOM=2\r\n\r\n[Ports]\r\nCOM1=/tmp/devsim\r\ncom12 = /dev/ttyUSB0\r\n");
  auto store = OpenProfileStore(path);
  UpdateSettings settings;
  LoadSettings(settings, *store);
  EXPECT_EQ(settings.Ports, (std::map<int, std::string>{{1, "/tmp/devsim"}, {12, "/dev/ttyUSB0"}}));
  settings.Com = -1;
  SaveSettings(settings, *store);
  EXPECT_NE(ReadFileBytes(path).find("COM=4294967295\r\n"), std::string::npos);
  UpdateSettings again;
  LoadSettings(again, *OpenProfileStore(path));
  EXPECT_EQ(again.Com, 1);
  EXPECT_EQ(again.Ports, settings.Ports);
}

// A save that cannot be made says so and leaves the file as it was; one that can writes all
// six keys at once.
TEST(SaveSettingsTest, SaysWhenNothingWasWritten) {
  TempDir dir;
  UpdateSettings settings;
  settings.MotFile = "C:\\u.mot";
  std::string why;
  EXPECT_FALSE(SaveSettings(settings, *OpenProfileStore(dir / "no-such-folder" / "q.ini"), &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));

  const std::string old = "[Main]\r\nCOM=2\r\n";
  auto path = dir.Write("q.ini", old);
  EXPECT_TRUE(SaveSettings(settings, *OpenProfileStore(path), &why));
  EXPECT_EQ(ReadFileBytes(path), "[Main]\r\nCOM=0\r\nMot File=C:\\u.mot\r\nInfo File=\r\nBaudrate=115200\r\n"
                                 "MAXCOM=20\r\nSendWait=10\r\n");
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// A store whose writes of one key fail, as the Windows profile functions do for a key they
// cannot write: the other five are still written, and the save says which one failed.
class OneKeyFails final : public ProfileStore {
 public:
  explicit OneKeyFails(std::string key) : failing_(std::move(key)) {}
  std::string ReadString(std::string_view, std::string_view, std::string_view fallback) override {
    return std::string(fallback);
  }
  std::int32_t ReadInt(std::string_view, std::string_view, std::int32_t fallback) override { return fallback; }
  std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view) override { return {}; }
  bool WriteString(std::string_view, std::string_view key, std::string_view) override {
    written.emplace_back(key);
    return key != failing_;
  }
  std::vector<std::string> written;

 private:
  std::string failing_;
};

TEST(SaveSettingsTest, AKeyThatFailsCostsNoOtherKey) {
  for (const char* failing : {"Mot File", "Baudrate", "SendWait"}) {
    OneKeyFails store(failing);
    UpdateSettings settings;
    LoadSettings(settings, store);
    std::string why;
    EXPECT_FALSE(SaveSettings(settings, store, &why)) << failing;
    EXPECT_EQ(store.written, (std::vector<std::string>{"Mot File", "Info File", "Baudrate", "COM", "MAXCOM", "SendWait"}));
    EXPECT_NE(why.find(failing), std::string::npos) << why;
  }
}

// An installed Windows copy looks for a relative boot file in its settings folder, then beside
// its programs; every other copy only in its program folder.
TEST(BootFilePathTest, TheSettingsFolderFirstThenBesideThePrograms) {
  TempDir dir;
  const std::string settings_folder = (dir / "settings").string() + "/";
  const std::string programs = (dir / "programs").string() + "/";
  UpdateSettings settings;
  settings.ProgramDir = settings_folder;
  settings.InfoFile = "nivaload.sub";
  EXPECT_EQ(BootFilePath(settings), settings_folder + "nivaload.sub");
  settings.BesideProgramDir = programs;
  EXPECT_EQ(BootFilePath(settings), programs + "nivaload.sub");
  std::filesystem::create_directories(dir / "settings");
  dir.Write("settings/nivaload.sub", "S00600004844521B\r\n");
  EXPECT_EQ(BootFilePath(settings), settings_folder + "nivaload.sub");
}

}  // namespace
}  // namespace quillon
