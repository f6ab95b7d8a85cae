// The POSIX side of base: many writers, a full disk, FIFOs, links, the XDG folders of an
// installed copy.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>

#include "base/event_log.h"
#include "base/program_paths.h"
#include "base/posix_call.h"
#include "base/replace_file.h"
#include "base/replace_file_reasons.h"
#include "testing/faulty_calls.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

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

// A disk that fills up in the middle of a record: the torn start is cut off again, so the log
// holds whole records only and the next one starts a line of its own. The file size limit
// stands in for the full disk (in a child process, so the test runner keeps its own limit).
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

// A FIFO or a link to one is never replaced by a plain file.
TEST(ReplaceFileTest, AFifoAndALinkToOneStayAsTheyAre) {
  TempDir dir;
  std::string why;
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
}

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

TEST(ProgramPathsTest, DerivedFromTheExecutable) {
  auto paths = DeriveProgramPaths("/opt/quillon.d/bin/quillon");
  EXPECT_EQ(paths.ProgramDir, "/opt/quillon.d/bin/");
  EXPECT_EQ(paths.IniPath, "/opt/quillon.d/bin/quillon.ini");
  EXPECT_EQ(paths.StsPath, "/opt/quillon.d/bin/quillon.sts");
}

// An installed copy (the marker beside its folder, wherever the package was unpacked) keeps
// its files in the user's folders; a relative boot file is looked for in the settings folder.
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
  const EventLog log(dir / "state" / "quillon" / "quillon.sts", {.make_folder = true});
  EXPECT_EQ(LogFailure(log, "Open Error"), 1);
  EXPECT_EQ(testing::LogMessages(dir / "state" / "quillon" / "quillon.sts"), std::vector<std::string>{"Open Error"});
}

// Each system call of writing a log record failing once: the record is written whole or not at
// all, and one that was not goes back to the caller to show; the next record goes in.
struct LogFault {
  const char* name;
  posix::Call call;
  int error;
};

class LogFaultTest : public ::testing::TestWithParam<LogFault> {};

TEST_P(LogFaultTest, TheRecordGoesBackWholeAndTheNextOneIsWritten) {
  const LogFault& fault = GetParam();
  TempDir dir;
  std::vector<std::string> handed_back;
  const EventLog log(dir / "q.sts", {.on_unwritten = [&](const std::string& record) { handed_back.push_back(record); }});
  ASSERT_EQ(LogFailure(log, "first"), 1);
  {
    testing::FaultyCalls calls;
    posix::ScopedCalls scoped(calls);
    calls.Fail(fault.call, 1, fault.error);
    EXPECT_EQ(LogFailure(log, "second"), 0);
    EXPECT_EQ(LogFailure(log, "third"), 1);
  }
  ASSERT_EQ(handed_back.size(), 1u);
  EXPECT_NE(handed_back[0].find(":second"), std::string::npos);
  EXPECT_EQ(testing::LogMessages(dir / "q.sts"), (std::vector<std::string>{"first", "third"}));
}

INSTANTIATE_TEST_SUITE_P(Calls, LogFaultTest,
                         ::testing::Values(LogFault{"open", posix::Call::kOpen, EACCES},
                                           LogFault{"fstat", posix::Call::kFstat, EIO},
                                           LogFault{"flock", posix::Call::kFlock, ENOLCK},
                                           LogFault{"write", posix::Call::kWrite, ENOSPC}),
                         [](const auto& info) { return std::string(info.param.name); });

// A disk that takes only part of a record: the part is cut off again, or, when that fails too,
// its line is ended; either way the next record is whole, on a line of its own.
class HalfWrites final : public posix::Calls {
 public:
  explicit HalfWrites(bool truncate_fails) : truncate_fails_(truncate_fails) {}
  ssize_t write(int fd, const void* bytes, size_t size) override {
    return posix::Calls::write(fd, bytes, cut && size > 1 ? size / 2 : size);
  }
  int ftruncate(int fd, off_t length) override {
    if (!truncate_fails_) return posix::Calls::ftruncate(fd, length);
    errno = EIO;
    return -1;
  }
  bool cut = true;

 private:
  bool truncate_fails_;
};

class TornRecordTest : public ::testing::TestWithParam<bool> {};

TEST_P(TornRecordTest, TheNextRecordIsWholeOnALineOfItsOwn) {
  const bool truncate_fails = GetParam();
  TempDir dir;
  const EventLog log(dir / "q.sts");
  ASSERT_EQ(LogFailure(log, "first"), 1);
  HalfWrites calls(truncate_fails);
  posix::ScopedCalls scoped(calls);
  EXPECT_EQ(LogFailure(log, "second, which the disk takes only half of"), 0);
  calls.cut = false;
  EXPECT_EQ(LogFailure(log, "third"), 1);
  const std::string text = testing::ReadFileBytes(dir / "q.sts");
  EXPECT_EQ(testing::LogMessages(dir / "q.sts").back(), "third");
  // first and third, and the torn part's own line when it could not be cut off.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), truncate_fails ? 3 : 2);
  if (!truncate_fails) {
    EXPECT_EQ(testing::LogMessages(dir / "q.sts"), (std::vector<std::string>{"first", "third"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Truncate, TornRecordTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "fails" : "works"); });

// Each system call of the safe replacement failing once: the file keeps its old contents
// whole, no temporary file is left beside it, and the caller is told why.
struct ReplaceFault {
  const char* name;
  posix::Call call;
  int error;
  const char* why;
};

class ReplaceFaultTest : public ::testing::TestWithParam<ReplaceFault> {};

TEST_P(ReplaceFaultTest, TheOldFileStaysWholeAndNothingIsLeftBeside) {
  const ReplaceFault& fault = GetParam();
  TempDir dir;
  const auto path = dir / "quillon.ini";
  ASSERT_TRUE(ReplaceFileContents(path, "[Settings]\r\nCOM=3\r\n"));
  std::string why;
  {
    testing::FaultyCalls calls;
    posix::ScopedCalls scoped(calls);
    calls.Fail(fault.call, 1, fault.error);
    EXPECT_FALSE(ReplaceFileContents(path, "[Settings]\r\nCOM=4\r\n", &why));
  }
  EXPECT_EQ(why, fault.why);
  EXPECT_EQ(testing::ReadFileBytes(path), "[Settings]\r\nCOM=3\r\n");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"quillon.ini"});
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ReplaceFaultTest,
    ::testing::Values(ReplaceFault{"access", posix::Call::kAccess, EROFS, replace_file::kReadOnly},
                      ReplaceFault{"mkstemp", posix::Call::kMkstemp, EACCES, replace_file::kReadOnly},
                      ReplaceFault{"fchmod", posix::Call::kFchmod, EPERM, replace_file::kWriteFailed},
                      ReplaceFault{"write", posix::Call::kWrite, ENOSPC, replace_file::kWriteFailed},
                      ReplaceFault{"fsync", posix::Call::kFsync, EIO, replace_file::kWriteFailed},
                      ReplaceFault{"rename", posix::Call::kRename, EXDEV, replace_file::kWriteFailed}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
