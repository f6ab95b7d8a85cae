#include <gtest/gtest.h>

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
#include "testing/temp_dir.h"

#ifdef _WIN32
#include <windows.h>

#include "base/wide_text.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace quillon {
namespace {

using testing::TempDir;

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

#ifdef _WIN32
// The log is read as a text file of the system's code page, like the settings file.
TEST(EventLogTest, RecordsAreInTheAnsiCodePage) {
  ASSERT_NE(GetACP(), static_cast<UINT>(CP_UTF8)) << "this test needs an ANSI code page other than UTF-8";
  TempDir dir;
  const std::string message = "NO DATA FILE :C:\\Größe\\バージョン.mot";
  EXPECT_EQ(LogFailure(EventLog(dir / "quillon.sts"), message), 1);
  const std::wstring wide = Widen(message);
  std::string expected(wide.size() * 2, '\0');
  expected.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                                               expected.data(), static_cast<int>(expected.size()),
                                                               nullptr, nullptr)));
  EXPECT_EQ(testing::LogMessages(dir / "quillon.sts"), std::vector<std::string>{expected});
}
#endif

TEST(EventLogTest, UnwritablePlaceGivesZero) {
  TempDir dir;
  EventLog log(dir / "no-such-dir" / "quillon.sts");
  EXPECT_EQ(LogFailure(log, "SEND BOOT ERROR"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "no-such-dir"));
}

// Holds the log the way another writer does for `ms` milliseconds, from another thread.
std::thread HoldLog(const std::filesystem::path& path, int ms) {
  std::atomic<bool> held{false};
  std::thread holder([path, ms, &held] {
#ifdef _WIN32
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    CloseHandle(file);
#else
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::flock(fd, LOCK_EX);
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    ::close(fd);
#endif
  });
  while (!held) std::this_thread::yield();
  return holder;
}

// Records are written inside the protocol's waits: another writer's record is waited for, a
// log that stays held is given up after a bound and the record is handed back, never lost.
TEST(EventLogTest, AHeldLogIsWaitedForUpToTheBoundThenTheRecordIsHandedBack) {
  TempDir dir;
  auto path = dir.Write("quillon.sts", "");
  EventLog log(path);
  std::vector<std::string> handed_back;
  log.on_unwritten = [&](const std::string& record) { handed_back.push_back(record); };
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
  EventLog log(path);
  int handed_back = 0;
  log.on_unwritten = [&](const std::string&) { ++handed_back; };
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

#ifndef _WIN32
TEST(EventLogTest, ManyProcessesAppendingAtOnceLoseNoRecord) {
  TempDir dir;
  const auto path = dir / "quillon.sts";
  constexpr int kProcesses = 24;
  constexpr int kRecords = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      EventLog log(path);
      int written = 0;
      for (int r = 0; r < kRecords; ++r) written += log.WriteLog("f", p, "record " + std::to_string(r));
      ::_exit(written == kRecords ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(testing::LogMessages(path).size(), static_cast<std::size_t>(kProcesses * kRecords));
}
#endif

#ifndef _WIN32
// A disk that fills up in the middle of a record: the torn start is cut off again, so the log
// holds whole records only and the next one starts a line of its own. The file size limit
// stands in for the full disk (in a child process, so the test runner keeps its own limit).
TEST(EventLogTest, ARecordIsWrittenWholeOrNotAtAll) {
  TempDir dir;
  const auto path = dir / "quillon.sts";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    EventLog log(path);
    bool ok = log.WriteLog("f", 1, "first") == 1;
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full{static_cast<rlim_t>(std::filesystem::file_size(path) + 10), limit.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &full);
    ok = ok && log.WriteLog("f", 2, "this record is longer than the room left") == 0;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ok = ok && log.WriteLog("f", 3, "third") == 1;
    ::_exit(ok ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string text = testing::ReadFileBytes(path);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_EQ(std::regex_replace(text, std::regex("[0-9/]{8} [0-9:]{8}  File:f\\([13]\\) :(first|third)\n"), ""), "") << text;
  EXPECT_EQ(testing::LogMessages(path), (std::vector<std::string>{"first", "third"}));
}
#endif

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
#ifndef _WIN32
  const auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto link = dir / "link";
  std::filesystem::create_symlink(fifo, link);
  for (const auto& path : {fifo, link}) {
    why.clear();
    EXPECT_FALSE(ReplaceFileContents(path, "x", &why)) << path;
    EXPECT_TRUE(std::filesystem::is_fifo(path)) << path;
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
  }
#else
  for (const char* name : {"NUL", "nul.txt", "COM1", "con", "LPT9.bin"}) {
    why.clear();
    EXPECT_FALSE(ReplaceFileContents(dir / name, "x", &why)) << name;
    EXPECT_NE(why.find("device"), std::string::npos) << why;
  }
#endif
  // A regular file, also behind a link, is replaced as before.
  const auto file = dir.Write("image.bin", "old");
  EXPECT_TRUE(ReplaceFileContents(file, "new"));
  EXPECT_EQ(testing::ReadFileBytes(file), "new");
}

#ifndef _WIN32
TEST(EventLogTest, AFifoIsNoLogAndIsNotWaitedOn) {
  TempDir dir;
  const auto fifo = dir / "quillon.sts";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A reader keeps the FIFO open: a writer that did not check would put the record there.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(LogFailure(EventLog(fifo), "SEND BOOT ERROR"), 0);
  char byte = 0;
  EXPECT_EQ(::read(reader, &byte, 1), 0);
  ::close(reader);
  // Without a reader, opening to write would wait forever.
  EXPECT_EQ(LogFailure(EventLog(fifo), "SEND BOOT ERROR"), 0);
}
#endif

TEST(MessagesTest, TextsById) {
  EXPECT_EQ(MessageText(kMsgUpdateFinished),
            "バージョンアップが終了しました\nディップスイッチを元に戻し、装置を再起動してください。");
  EXPECT_EQ(PortOpenFailedText(ComLabel(-1)), "COM-1がオープンできません。");
  EXPECT_EQ(PortOpenFailedText("/dev/ttyUSB0"), "/dev/ttyUSB0がオープンできません。");
  EXPECT_TRUE(MessageText(999).empty());
}

TEST(ProgramPathsTest, DerivedFromTheExecutable) {
#ifdef _WIN32
  auto paths = DeriveProgramPaths("C:\\Tools\\Quillon\\quillon.exe");
  EXPECT_EQ(paths.ProgramDir, "C:\\Tools\\Quillon\\");
  EXPECT_EQ(paths.IniPath, "C:\\Tools\\Quillon\\quillon.ini");
  EXPECT_EQ(paths.StsPath, "C:\\Tools\\Quillon\\quillon.sts");
#else
  auto paths = DeriveProgramPaths("/opt/quillon.d/bin/quillon");
  EXPECT_EQ(paths.ProgramDir, "/opt/quillon.d/bin/");
  EXPECT_EQ(paths.IniPath, "/opt/quillon.d/bin/quillon.ini");
  EXPECT_EQ(paths.StsPath, "/opt/quillon.d/bin/quillon.sts");
#endif
  auto shared = SharedProgramPaths();
  EXPECT_FALSE(shared.ProgramDir.empty());
  EXPECT_EQ(shared.IniPath, shared.ProgramDir + "quillon.ini");
  EXPECT_FALSE(shared.Installed);
}

#ifndef _WIN32
// An installed copy (the marker beside its folder, wherever the package was unpacked) keeps
// its files in the user's folders; a relative boot file is looked for in the settings folder.
TEST(ProgramPathsTest, AnInstalledCopyUsesTheUsersFolders) {
  TempDir dir;
  std::filesystem::create_directories(dir / "usr/bin");
  std::filesystem::create_directories(dir / "usr/share/quillon");
  dir.Write("usr/share/quillon/installed", "");
  const std::string exe = (dir / "usr/bin/quillon").string();
  const std::string home = (dir / "home").string();
  const char* old_home = std::getenv("HOME");
  const std::string saved_home = old_home != nullptr ? old_home : "";
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  setenv("XDG_STATE_HOME", "relative/ignored", 1);
  auto paths = DeriveProgramPaths(exe);
  EXPECT_TRUE(paths.Installed);
  EXPECT_EQ(paths.IniPath, "/cfg/quillon/quillon.ini");
  EXPECT_EQ(paths.ProgramDir, "/cfg/quillon/");
  EXPECT_EQ(paths.StsPath, home + "/.local/state/quillon/quillon.sts");
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("XDG_STATE_HOME");
  paths = DeriveProgramPaths(exe);
  EXPECT_EQ(paths.IniPath, home + "/.config/quillon/quillon.ini");
  setenv("HOME", saved_home.c_str(), 1);
  // Without the marker: beside the program, as always.
  std::filesystem::remove(dir / "usr/share/quillon/installed");
  EXPECT_EQ(DeriveProgramPaths(exe).IniPath, (dir / "usr/bin/quillon.ini").string());
}

TEST(EventLogTest, AnInstalledCopysLogFolderIsMadeOnFirstWrite) {
  TempDir dir;
  EventLog log(dir / "state" / "quillon" / "quillon.sts");
  log.make_folder = true;
  EXPECT_EQ(LogFailure(log, "Open Error"), 1);
  EXPECT_EQ(testing::LogMessages(dir / "state" / "quillon" / "quillon.sts"), std::vector<std::string>{"Open Error"});
}
#endif

}  // namespace
}  // namespace quillon
