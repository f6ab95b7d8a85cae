#include <gtest/gtest.h>

#include <stdexcept>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <regex>

#include "base/event_log.h"
#include "base/messages.h"
#include "base/program_paths.h"
#include "base/replace_file.h"
#include "testing/hold_file.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::HoldLog;
using testing::TempDir;

struct ShownCase {
  std::string shown;
  const char* english;
};

class EnglishOfShownTextTest : public ::testing::TestWithParam<ShownCase> {};

TEST_P(EnglishOfShownTextTest, AMessageAsShownGetsItsEnglishAndAnyOtherTextStays) {
  EXPECT_EQ(EnglishOfShownText(GetParam().shown), GetParam().english);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EnglishOfShownTextTest,
    ::testing::Values(ShownCase{std::string(MessageText(kMsgUpdateFinished)),
                                "The update has finished.\nSet the DIP switches back and restart the device."},
                      ShownCase{MessageTextNaming(kMsgPortOpenFailed, "/dev/ttyUSB0"), "/dev/ttyUSB0 cannot be opened."},
                      ShownCase{std::string(MessageText(kMsgBrowseFilter)), "mot files (*.mot)|*.mot||"},
                      ShownCase{"v3.mot", "v3.mot"},
                      ShownCase{"COM3がオープンできません", "COM3がオープンできません"}));

TEST(EventLogTest, RecordBytesAreExact) {
  EXPECT_EQ(FormatLogRecord("07/10/24 13:05:09", "/src/serial_port.cpp", 42, "Ack Error"),
            "07/10/24 13:05:09  File:/src/serial_port.cpp(42) :Ack Error");
  EXPECT_EQ(FormatLogRecord("07/10/24 13:05:09", "f.cpp", 7, ""), "07/10/24 13:05:09  File:f.cpp(7) :");
}

// A record is one line: a path or port name with a line break cannot forge another record,
// and no escape sequence reaches a terminal that shows the log.
TEST(EventLogTest, ControlCharactersInAMessageAreShownEscaped) {
  EXPECT_EQ(FormatLogRecord("07/10/24 13:05:09", "f.cpp", 7, "NO DATA FILE :C:\\u\\x\r\n07/10/24  File:x(1) :forged\x1B[2J\x7F\tend"),
            "07/10/24 13:05:09  File:f.cpp(7) :NO DATA FILE :C:\\u\\x\\r\\n07/10/24  File:x(1) :forged\\x1B[2J\\x7F\\x09end");
  EXPECT_EQ(EscapeControlCharacters("バージョン\x01"), "バージョン\\x01");
  TempDir dir;
  EventLog log(dir / "quillon.sts");
  EXPECT_EQ(LogFailure(log, "/dev/tty\nUSB0Open Error"), 1);
  EXPECT_EQ(testing::LogMessages(dir / "quillon.sts"), std::vector<std::string>{"/dev/tty\\nUSB0Open Error"});
}

TEST(EventLogTest, CreatesThenAppendsWithOneLineFeedEach) {
  TempDir dir;
  EventLog log(dir / "quillon.sts");
  dir.Write("quillon.sts", "earlier\n");
  EXPECT_EQ(LogFailure(log, " ReadCom() Parity Error Count = 5"), 1);
  const int line = __LINE__ + 1;
  EXPECT_EQ(LogFailure(log, ""), 1);
  const std::string bytes = testing::ReadFileBytes(dir / "quillon.sts");
  EXPECT_EQ(bytes.find('\r'), std::string::npos);
  std::regex form(
      "earlier\n"
      "\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d  File:[^\n]*base_test\\.cpp\\(\\d+\\) : ReadCom\\(\\) Parity Error Count = 5\n"
      "\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d  File:[^\n]*base_test\\.cpp\\(" + std::to_string(line) + "\\) :\n");
  EXPECT_TRUE(std::regex_match(bytes, form)) << bytes;
}

TEST(EventLogTest, UnwritablePlaceGivesZero) {
  TempDir dir;
  EventLog log(dir / "no-such-dir" / "quillon.sts");
  EXPECT_EQ(LogFailure(log, "SEND BOOT ERROR"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "no-such-dir"));
}

// Whatever stops a record on its way (here a subscriber that throws), it is handed back.
TEST(EventLogTest, ARecordStoppedByAnyFailureIsHandedBack) {
  TempDir dir;
  std::vector<std::string> handed_back;
  const EventLog log(dir / "quillon.sts",
                     {.on_unwritten = [&](const std::string& record) { handed_back.push_back(record); },
                      .on_record = [](const std::string&) { throw std::runtime_error("subscriber failed"); }});
  EXPECT_EQ(log.WriteLog("f", 3, "SEND BOOT ERROR"), 0);
  ASSERT_EQ(handed_back.size(), 1u);
  EXPECT_NE(handed_back[0].find("File:f(3) :SEND BOOT ERROR"), std::string::npos);
}

// A silenced log writes nothing while a hold lives, and writes again once none is left.
TEST(EventLogTest, ASilenceHeldWritesNothingUntilItsLastHoldEnds) {
  TempDir dir;
  const LogSilence silence;
  const EventLog log(dir / "quillon.sts", {.silence = silence});
  {
    const auto probing = silence.Silence();
    {
      const auto again = silence.Silence();
      EXPECT_EQ(LogFailure(log, "ReadCom timeout while probing"), 0);
    }
    EXPECT_EQ(LogFailure(log, "still probing"), 0);
  }
  EXPECT_EQ(LogFailure(log, "SEND BOOT ERROR"), 1);
  EXPECT_EQ(testing::LogMessages(dir / "quillon.sts"), std::vector<std::string>{"SEND BOOT ERROR"});
}

// Holds the log the way another writer does for `ms` milliseconds, from another thread.

// Records are written inside the protocol's waits: another writer's record is waited for, a
// log that stays held is given up after a bound and the record is handed back, never lost.
TEST(EventLogTest, AHeldLogIsWaitedForUpToTheBoundThenTheRecordIsHandedBack) {
  TempDir dir;
  auto path = dir.Write("quillon.sts", "");
  std::vector<std::string> handed_back;
  const EventLog log(path, {.on_unwritten = [&](const std::string& record) { handed_back.push_back(record); }});
  auto brief = HoldLog(path, 100);
  EXPECT_EQ(log.WriteLog("f", 1, "kept"), 1);
  brief.join();
  auto long_hold = HoldLog(path, EventLog::kLockWaitMs + 400);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(log.WriteLog("f", 2, "handed back"), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  long_hold.join();
  EXPECT_GE(waited, std::chrono::milliseconds(EventLog::kLockWaitMs));
  ASSERT_EQ(handed_back.size(), 1u);
  EXPECT_NE(handed_back[0].find("File:f(2) :handed back"), std::string::npos);
  EXPECT_EQ(testing::LogMessages(path), std::vector<std::string>{"kept"});
}

// A wait that writes a record on every read must not be stretched by a log held for good:
// after one record waited its bound, the next ones are handed back at once, and the log is
// written again as soon as it is free.
TEST(EventLogTest, ALogHeldForGoodCostsOneBoundNotOnePerRecord) {
  TempDir dir;
  auto path = dir.Write("quillon.sts", "");
  int handed_back = 0;
  const EventLog log(path, {.on_unwritten = [&](const std::string&) { ++handed_back; }});
  auto hold = HoldLog(path, EventLog::kLockWaitMs + 700);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(log.WriteLog("f", i, "held"), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(handed_back, 20);
  EXPECT_LT(waited, std::chrono::milliseconds(EventLog::kLockWaitMs + 400));
  hold.join();
  EXPECT_EQ(log.WriteLog("f", 30, "free again"), 1);
  EXPECT_EQ(testing::LogMessages(path), std::vector<std::string>{"free again"});
}

// Only a regular file is replaced: renaming over a FIFO, a folder or a device would put a
// plain file where the system expects the device (run as root, /dev/null itself).
TEST(ReplaceFileTest, RefusesAnythingButARegularFile) {
  TempDir dir;
  std::string why;
  const auto folder = dir / "folder";
  std::filesystem::create_directory(folder);
  EXPECT_FALSE(ReplaceFileContents(folder, "x", &why));
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
  // A regular file is replaced as before.
  const auto file = dir.Write("image.bin", "old");
  EXPECT_TRUE(ReplaceFileContents(file, "new"));
  EXPECT_EQ(testing::ReadFileBytes(file), "new");
}

TEST(MessagesTest, TextsById) {
  EXPECT_EQ(MessageText(kMsgUpdateFinished),
            "バージョンアップが終了しました\nディップスイッチを元に戻し、装置を再起動してください。");
  EXPECT_EQ(PortOpenFailedText(ComLabel(-1)), "COM-1がオープンできません。");
  EXPECT_EQ(PortOpenFailedText("/dev/ttyUSB0"), "/dev/ttyUSB0がオープンできません。");
  EXPECT_TRUE(MessageText(999).empty());
}

TEST(ProgramPathsTest, TheRunningProgramsOwn) {
  auto shared = SharedProgramPaths();
  EXPECT_FALSE(shared.ProgramDir.empty());
  EXPECT_EQ(shared.IniPath, shared.ProgramDir + "quillon.ini");
  EXPECT_FALSE(shared.Installed);
}

}  // namespace
}  // namespace quillon
