// quillon-cli flash against quillon-devsim over a pseudo-terminal: the device's flash
// afterwards, the exit status, the message and the log records.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>

extern char** environ;
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "testing/process.h"
#include "testing/srecord_text.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::LogMessages;
using testing::ReadFileBytes;
using testing::Spawn;
using testing::TempDir;
using testing::Wait;

const std::string kBoot = QUILLON_EXAMPLES "/nivaload.sub";
const std::string kUpdate = QUILLON_EXAMPLES "/update.mot";

struct RunResult {
  int status;
  std::string out, err;
  std::vector<std::string> records;
  std::string report;
};

class FlashE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A device whose flash is not blank, so untouched blocks can be told from sent ones.
    std::vector<char> flash(0x40000);
    std::mt19937 random(7);
    for (auto& b : flash) b = static_cast<char>(random());
    std::ofstream(dir_ / "flash-in.bin", std::ios::binary).write(flash.data(), static_cast<std::streamsize>(flash.size()));
  }

  // Starts the simulated device on `link` (default Port()) and waits (bounded) for the link.
  pid_t StartDevice(std::vector<std::string> device_args, std::string link = {}) {
    if (link.empty()) link = Port();
    std::vector<std::string> args{QUILLON_DEVSIM, "--link", link};
    args.insert(args.end(), device_args.begin(), device_args.end());
    const std::string base = std::filesystem::path(link).filename().string();
    const pid_t device = Spawn(args, dir_ / (base + "-devsim.out"), dir_ / (base + "-devsim.err"));
    for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return device;
  }

  // Waits until the update's --json output (cli.out) has a progress event of its transfer (the
  // update itself, after the boot program): the moment to signal a run in the middle of it.
  bool WaitForTransferProgress(std::chrono::seconds limit = std::chrono::seconds(30)) const {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      const std::string out = ReadFileBytes(dir_ / "cli.out");
      const auto transfer = out.find(R"("phase":"transfer")");
      if (transfer != std::string::npos && out.find(R"("event":"progress")", transfer) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Starts `quillon-cli flash --yes` with the test's settings file and log.
  pid_t StartFlash(std::vector<std::string> cli_args, const std::filesystem::path& log = {}) {
    std::vector<std::string> args{QUILLON_CLI, "flash", "--yes", "--ini", (dir_ / "q.ini").string(), "--log",
                                  (log.empty() ? dir_ / "q.sts" : log).string()};
    args.insert(args.end(), cli_args.begin(), cli_args.end());
    return Spawn(args, dir_ / "cli.out", dir_ / "cli.err");
  }

  // Runs the device with `device_args`, then the CLI with `cli_args` against its port.
  RunResult Flash(std::vector<std::string> device_args, std::vector<std::string> cli_args, bool start_device = true) {
    pid_t device = -1;
    if (start_device) {
      std::vector<std::string> args{"--flash-in", (dir_ / "flash-in.bin").string(), "--flash-out",
                                    (dir_ / "flash-out.bin").string(), "--report", (dir_ / "report.txt").string()};
      args.insert(args.end(), device_args.begin(), device_args.end());
      device = StartDevice(args);
    }
    RunResult run;
    run.status = Wait(StartFlash(cli_args));
    if (device > 0) {
      // A device left waiting by a failed host gives up once the host has let go; one that
      // never heard from the host is stopped.
      int status = 0;
      for (int i = 0; i < 2000 && waitpid(device, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (waitpid(device, &status, WNOHANG) == 0) {
        ::kill(device, SIGKILL);
        ADD_FAILURE() << "the device never ended";
      }
      Wait(device);
    }
    run.out = ReadFileBytes(dir_ / "cli.out");
    run.err = ReadFileBytes(dir_ / "cli.err");
    run.records = LogMessages(dir_ / "q.sts");
    run.report = ReadFileBytes(dir_ / "report.txt");
    return run;
  }

  std::string Port() const { return (dir_ / "port").string(); }

  // The flash a correct update leaves, from tools outside the project: srec_cat lays the file
  // out over the flash (0xFF where it gives nothing) and srec_info says where its data lies.
  // Every erase block that holds data is erased and written; every other keeps what it held.
  std::string ExpectedFlash(const std::string& update) const {
    const auto ref = dir_ / "ref.bin";
    const auto ranges = dir_ / "ranges.txt";
    EXPECT_EQ(testing::RunShell("srec_cat '" + update + "' -fill 0xFF 0 0x40000 -crop 0 0x40000 -o '" +
                                ref.string() + "' -binary 2>/dev/null && srec_info '" + update + "' > '" + ranges.string() +
                                "' 2>/dev/null"),
              0);
    const std::string layout = ReadFileBytes(ref);
    std::string flash = ReadFileBytes(dir_ / "flash-in.bin");
    EXPECT_EQ(layout.size(), flash.size());
    const std::string info = ReadFileBytes(ranges);
    const std::regex range("([0-9A-F]{4,8}) - ([0-9A-F]{4,8})");
    for (auto it = std::sregex_iterator(info.begin(), info.end(), range); it != std::sregex_iterator(); ++it) {
      const auto first = std::stoul((*it)[1], nullptr, 16), last = std::stoul((*it)[2], nullptr, 16);
      for (const auto& [base, size] : kEraseBlocks) {
        if (first < base + size && last >= base && base + size <= layout.size()) {
          std::copy_n(layout.begin() + base, size, flash.begin() + base);
        }
      }
    }
    return flash;
  }

  // A boot program of `length` bytes, so that a run does not spend its time in the download.
  std::string SmallBoot(int length = 16) const {
    std::vector<std::uint8_t> program(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<std::uint8_t>(0xA0 + i);
    return dir_.Write("boot.sub", testing::SRecordLine('1', 0, program) + testing::SRecordLine('9', 0, {})).string();
  }

  // The erase blocks as the device's data sheet gives them.
  static constexpr std::array<std::pair<std::size_t, std::size_t>, 12> kEraseBlocks{{
      {0x00000, 0x1000}, {0x01000, 0x1000}, {0x02000, 0x1000}, {0x03000, 0x1000},
      {0x04000, 0x1000}, {0x05000, 0x1000}, {0x06000, 0x1000}, {0x07000, 0x1000},
      {0x08000, 0x8000}, {0x10000, 0x10000}, {0x20000, 0x10000}, {0x30000, 0x10000},
  }};

  TempDir dir_;
};

TEST_F(FlashE2eTest, UpdateAt115200RewritesExactlyTheSentBlocks) {
  auto run = Flash({}, {"--port", Port(), "--boot", kBoot, kUpdate});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("[205] The update has finished.\n"));
  EXPECT_TRUE(run.records.empty());
  EXPECT_THAT(run.report, HasSubstr("link moved to 115200 bit/s"));
  EXPECT_THAT(run.report, ::testing::Not(HasSubstr("problem:")));
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(kUpdate));
}

TEST_F(FlashE2eTest, UpdateAt38400ThroughTheSettingsPortsMap) {
  dir_.Write("q.ini", "[Main]\r\nBaudrate=38400\r\nSendWait=0\r\nCOM=2\r\n[Ports]\r\nCOM2=" + Port() + "\r\n");
  auto run = Flash({}, {"--boot", kBoot, kUpdate});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.report, HasSubstr("link moved to 38400 bit/s"));
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(kUpdate));
  // flash never writes the settings file.
  EXPECT_EQ(ReadFileBytes(dir_ / "q.ini").find("Mot File"), std::string::npos);
}

// A device that erases slowly answers the block command (or the checksum) late; the host
// waits its whole 3.5 s for it. The trace gives the moment of the block command.
class SlowDeviceTest : public FlashE2eTest, public ::testing::WithParamInterface<const char*> {
 protected:
  std::string OneBlockUpdate() const { return OneBlockUpdateIn(dir_); }

 public:
  /// An update file with one chunk in one block.
  static std::string OneBlockUpdateIn(const TempDir& dir) {
    std::vector<std::uint8_t> data(128, 0x3C);
    return dir.Write("one-block.mot", testing::SRecordLine('2', 0x4000, data) + testing::SRecordLine('8', 0, {}))
        .string();
  }
};

TEST_P(SlowDeviceTest, AnAnswerWithinThe3500MsIsTaken) {
  auto run = Flash({GetParam(), "3300"}, {"--port", Port(), "--boot", SmallBoot(), OneBlockUpdate()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.records.empty());
  EXPECT_THAT(run.report, HasSubstr("checksum good"));
}

INSTANTIATE_TEST_SUITE_P(Answers, SlowDeviceTest, ::testing::Values("--slow-block", "--slow-checksum"),
                         [](const auto& info) { return std::string(info.param + 7); });

TEST_F(FlashE2eTest, ASilentDeviceIsGivenUpNoSoonerThan3500MsAfterTheBlockCommand) {
  const auto trace = dir_ / "trace.txt";
  const auto start = std::chrono::steady_clock::now();
  auto run = Flash({"--silent-at", "block-ack"}, {"--port", Port(), "--boot", SmallBoot(), "--trace", trace.string(),
                                              SlowDeviceTest::OneBlockUpdateIn(dir_)});
  const double total_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.status, 13) << run.err;
  EXPECT_THAT(run.err, HasSubstr("[503]"));
  // The trace's clock starts after the CLI did, so this gap is, if anything, too long by the
  // CLI's start-up, never too short.
  const std::string text = ReadFileBytes(trace);
  std::smatch block;
  ASSERT_TRUE(std::regex_search(text, block, std::regex(R"(([0-9.]+) TX 57\n\s*[0-9.]+ TX 00\n)"))) << text;
  const double after_block_ms = total_ms - std::stod(block[1]);
  EXPECT_GE(after_block_ms, 3500.0);
  EXPECT_LT(after_block_ms, 3500.0 + 3000.0);
}

struct FaultCase {
  const char* name;
  std::vector<std::string> device_args;
  int status;
  std::string message;
  std::vector<std::string> records;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FlashFaultTest : public FlashE2eTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FlashFaultTest, ExitStatusMessageAndRecords) {
  auto run = Flash(GetParam().device_args, {"--port", Port(), "--boot", kBoot, kUpdate});
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_THAT(run.err, HasSubstr(GetParam().message));
  EXPECT_EQ(run.records, GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FlashFaultTest,
    ::testing::Values(
        FaultCase{"wrong_start_answer", {"--start-answer", "0x55"}, 12, "[502]", {"", "SEND BOOT ERROR"}},
        FaultCase{"wrong_echo", {"--wrong-echo-from", "200"}, 12, "[502]", {"", "SEND BOOT ERROR"}},
        FaultCase{"wrong_final_answer", {"--final-answer", "0"}, 12, "[502]", {"SEND BOOT ERROR"}},
        FaultCase{"bit_rate_nak", {"--bitrate-answer", "0x15"}, 13, "[503]", {"Ack Error", "SEND TRANSMIT ERROR"}},
        FaultCase{"junk_before_answers", {"--junk-before-answers"}, 13, "[503]", {"Ack Error", "SEND TRANSMIT ERROR"}},
        FaultCase{"line_dropped", {"--hangup-at-chunk", "3"}, 13, "[503]",
                  {" ReadCom() : ReadFile() Error", "", "SEND DATA RECORD ERROR"}},
        FaultCase{"five_closing_bytes", {"--closing-bytes", "5"}, 13, "[503]", {"", "SEND DATA RECORD ERROR"}},
        FaultCase{"silent_at_checksum", {"--silent-at", "checksum-ack"}, 13, "[503]", {"", "SEND DATA RECORD ERROR"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashE2eTest, ClosingReplySplitAcrossReadsStillCounts) {
  auto run = Flash({"--closing-split", "3", "--chunk-answer", "0x15"}, {"--port", Port(), "--boot", kBoot, kUpdate});
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(FlashE2eTest, PortThatDoesNotExist) {
  const auto missing = (dir_ / "no-such-port").string();
  auto run = Flash({}, {"--port", missing, "--boot", kBoot, kUpdate}, false);
  EXPECT_EQ(run.status, 14);
  EXPECT_THAT(run.err, HasSubstr("[504] " + missing + " cannot be opened."));
  EXPECT_THAT(run.records, ElementsAre(missing + "Open Error"));
}

TEST_F(FlashE2eTest, FileFailuresNeedNoDevice) {
  auto missing_boot = Flash({}, {"--port", Port(), "--boot", (dir_ / "none.sub").string(), kUpdate}, false);
  EXPECT_EQ(missing_boot.status, 10);
  EXPECT_THAT(missing_boot.records, ElementsAre("NO BOOT FILE :" + (dir_ / "none.sub").string()));
  const auto fifo = dir_ / "boot.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Flash({}, {"--port", Port(), "--boot", fifo.string(), kUpdate}, false).status, 10);
  // A FIFO as the log: the run goes on (here to a port that is not there), says that nothing
  // is logged, and never waits for a reader.
  const auto log_fifo = dir_ / "log.fifo";
  ASSERT_EQ(::mkfifo(log_fifo.c_str(), 0600), 0);
  const auto missing = (dir_ / "no-such-port").string();
  EXPECT_EQ(Wait(StartFlash({"--port", missing, "--boot", kBoot, kUpdate}, log_fifo)), 14);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("not a regular file"));
  EXPECT_TRUE(std::filesystem::is_fifo(log_fifo));
  const auto bad = dir_.Write("bad.mot", "S1050000AB123E\r\n").string();
  auto bad_update = Flash({}, {"--port", Port(), "--boot", kBoot, bad}, false);
  EXPECT_EQ(bad_update.status, 15);
  EXPECT_THAT(bad_update.err, HasSubstr("[505]"));
  auto usage = Flash({}, {"--baud", "2400", kUpdate}, false);
  EXPECT_EQ(usage.status, 2);
}

// A pulled adapter: the device drops the line for good at one phase. The run stops at the
// wait where it notices, with one record of the failed read, the record of that wait and the
// sequence's own, and ends within a second of the line going.
struct VanishCase {
  const char* phase;
  int status;
  std::vector<std::string> records;
};

void PrintTo(const VanishCase& c, std::ostream* os) { *os << c.phase; }

class FlashVanishTest : public FlashE2eTest, public ::testing::WithParamInterface<VanishCase> {};

TEST_P(FlashVanishTest, StopsAtOnceWithThreeRecords) {
  const pid_t device = StartDevice({"--report", (dir_ / "report.txt").string(), "--vanish-at", GetParam().phase});
  ASSERT_GT(device, 0);
  const pid_t cli = StartFlash({"--port", Port(), "--boot", SmallBoot(200), kUpdate});
  ASSERT_GT(cli, 0);
  // The device ends as soon as it has dropped the line; the host must follow within a second.
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> device_end, cli_end;
  int cli_status = -1;
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  while ((!device_end || !cli_end) && Clock::now() < give_up) {
    int status = 0;
    if (!device_end && waitpid(device, &status, WNOHANG) == device) device_end = Clock::now();
    if (!cli_end && waitpid(cli, &status, WNOHANG) == cli) {
      cli_end = Clock::now();
      cli_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(device_end && cli_end) << "a process did not end";
  EXPECT_EQ(cli_status, GetParam().status) << ReadFileBytes(dir_ / "cli.err");
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), HasSubstr(std::string("line dropped at ") + GetParam().phase));
  EXPECT_EQ(LogMessages(dir_ / "q.sts"), GetParam().records);
  // The person reads where it stopped, and how to record the line for a report.
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("The update stopped in "));
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("--trace FILE"));
  // Each record names its source file within the source tree, never the build machine's path.
  std::istringstream log(ReadFileBytes(dir_ / "q.sts"));
  for (std::string line; std::getline(log, line);) EXPECT_THAT(line, HasSubstr("  File:src/")) << line;
  EXPECT_LT(std::chrono::duration<double>(*cli_end - *device_end).count(), 1.0);
}

const std::string kReadFailed = " ReadCom() : ReadFile() Error";

INSTANTIATE_TEST_SUITE_P(
    Phases, FlashVanishTest,
    ::testing::Values(VanishCase{"start", 12, {kReadFailed, "", "SEND BOOT ERROR"}},
                      VanishCase{"size", 12, {kReadFailed, "", "SEND BOOT ERROR"}},
                      VanishCase{"echo", 12, {kReadFailed, "", "SEND BOOT ERROR"}},
                      VanishCase{"final", 12, {kReadFailed, "", "SEND BOOT ERROR"}},
                      VanishCase{"bitrate", 13, {kReadFailed, "Ack Error", "SEND TRANSMIT ERROR"}},
                      VanishCase{"newrate", 13, {kReadFailed, "", "SEND TRANSMIT ERROR"}},
                      VanishCase{"block-ack", 13, {kReadFailed, "", "SEND DATA RECORD ERROR"}},
                      VanishCase{"ready", 13, {kReadFailed, "", "SEND DATA RECORD ERROR"}},
                      VanishCase{"checksum-ack", 13, {kReadFailed, "", "SEND DATA RECORD ERROR"}},
                      VanishCase{"closing", 13, {kReadFailed, "", "SEND DATA RECORD ERROR"}}),
    [](const auto& info) {
      std::string name = info.param.phase;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// Ctrl-C in the middle of a run: every port stops within half a second, each port's log gets
// the record INTERRUPTED and nothing else, exit 130; a line that something else keeps open
// (here the test, as a serial bridge would) is no longer exclusive and has its settings back.
TEST_F(FlashE2eTest, InterruptStopsTheRunAndGivesThePortBack) {
  const pid_t device = StartDevice({});
  termios before{};
  {
    const int probe = ::open(Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    ASSERT_EQ(::tcgetattr(probe, &before), 0);
    ::close(probe);
  }
  const pid_t cli = StartFlash({"--json", "--port", Port(), "--boot", kBoot, kUpdate});
  // Once the update holds the port (a port held before it starts is refused), the test opens it
  // beside the update, as a serial bridge would.
  const auto line = std::filesystem::canonical(Port());
  auto update_holds_the_line = [&] {
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(cli) + "/fd", error)) {
      std::error_code link_error;
      if (std::filesystem::read_symlink(fd.path(), link_error) == line) return true;
    }
    return false;
  };
  // The port checks before message 202 open the line for a moment too: the update holds it
  // once it has held it for a while without a break.
  int held = -1;
  int exclusive = -1;
  int held_for = 0;
  for (int i = 0; i < 500 && exclusive != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    held_for = update_holds_the_line() ? held_for + 1 : 0;
    if (held < 0 && held_for >= 30) held = ::open(Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
#ifdef TIOCGEXCL
    if (held >= 0) ::ioctl(held, TIOCGEXCL, &exclusive);
#else
    exclusive = 1;
#endif
  }
  const bool have_settings = held >= 0;
  ASSERT_TRUE(WaitForTransferProgress());
  ::kill(cli, SIGINT);
  const auto signalled = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_EQ(waitpid(cli, &status, 0), cli);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(1500));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_THAT(LogMessages(dir_ / "q.sts"), ElementsAre("INTERRUPTED"));
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("interrupted"));
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.out"), Not(HasSubstr("[205]")));
  if (held >= 0) {
#ifdef TIOCGEXCL
    EXPECT_EQ(exclusive, 1) << "the update did not hold the port exclusively";
    ASSERT_EQ(::ioctl(held, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
#endif
    termios after{};
    if (have_settings && ::tcgetattr(held, &after) == 0) {
      EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before)) << "the line was left at the update's bit rate";
    }
    ::close(held);
  }
  ::kill(device, SIGKILL);
  Wait(device);
}

TEST_F(FlashE2eTest, AStrayByteAfterTheFinalAnswerDoesNotFailAGoodDownload) {
  auto run = Flash({"--after-final-answer", "0x00"}, {"--port", Port(), "--boot", kBoot, kUpdate});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.records.empty());
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(kUpdate));
}

// Whole blocks: EB9 filled (64 KiB, the length 0x00010000 in its header), EB8 one chunk short
// of full, EB1 one byte past a chunk. The update file comes from srec_cat.
TEST_F(FlashE2eTest, WholeBlocksReachTheDeviceWithTheirFullLength) {
  std::mt19937 random(11);
  auto piece = [&](const char* name, std::size_t size) {
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(random());
    return dir_.Write(name, bytes).string();
  };
  const auto full = piece("eb9.bin", 0x10000), short_one = piece("eb8.bin", 0x8000 - 128), past = piece("eb1.bin", 129);
  const auto update = (dir_ / "blocks.mot").string();
  ASSERT_EQ(testing::RunShell("srec_cat '" + full + "' -binary -offset 0x10000 '" + short_one +
                              "' -binary -offset 0x8000 '" + past + "' -binary -offset 0x1000 -o '" + update +
                              "' -motorola -obs=32 -disable=data-count -crlf"),
            0);
  auto run = Flash({}, {"--port", Port(), "--boot", SmallBoot(), "--send-wait", "0", update});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.report, HasSubstr("block 0x1000 length 0x100, checksum good"));
  EXPECT_THAT(run.report, HasSubstr("block 0x8000 length 0x7F80, checksum good"));
  EXPECT_THAT(run.report, HasSubstr("block 0x10000 length 0x10000, checksum good"));
  EXPECT_THAT(run.report, ::testing::Not(HasSubstr("problem:")));
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(update));
}

// Every working bit rate, from the settings file through the command to the device and the
// port: the device checks that the host's line runs at the rate it was told.
class FlashBitRateTest : public FlashE2eTest, public ::testing::WithParamInterface<int> {};

TEST_P(FlashBitRateTest, TheDeviceSeesTheLineAtTheSettingsRate) {
  const std::string rate = std::to_string(GetParam());
  dir_.Write("q.ini", "[Main]\r\nBaudrate=" + rate + "\r\nSendWait=0\r\nCOM=4\r\n[Ports]\r\nCOM4=" + Port() + "\r\n");
  const auto update = dir_.Write("small.mot", testing::SRecordLine('1', 0x2000, std::vector<std::uint8_t>(32, 0x5A)) +
                                                  testing::SRecordLine('9', 0, {})).string();
  auto run = Flash({}, {"--boot", SmallBoot(), update});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.report, HasSubstr("bit-rate command: " + rate + " bit/s"));
  EXPECT_THAT(run.report, HasSubstr("link moved to " + rate + " bit/s"));
  EXPECT_THAT(run.report, ::testing::Not(HasSubstr("problem:")));
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(update));
}

INSTANTIATE_TEST_SUITE_P(Rates, FlashBitRateTest, ::testing::Values(4800, 9600, 19200, 38400, 57600, 115200));

// SendWait from the settings file paces the line: the device sees the host pause after every
// chunk and every block.
struct PacingCase {
  int send_wait;
  double min_ms;
  double max_ms;
};

class FlashSendWaitTest : public FlashE2eTest, public ::testing::WithParamInterface<PacingCase> {};

TEST_P(FlashSendWaitTest, TheDeviceSeesThePauses) {
  dir_.Write("q.ini", "[Main]\r\nSendWait=" + std::to_string(GetParam().send_wait) + "\r\nCOM=4\r\n[Ports]\r\nCOM4=" +
                          Port() + "\r\n");
  // Two blocks of two chunks each.
  const std::vector<std::uint8_t> data(128, 0x3C);
  std::string text;
  for (std::uint32_t address : {0x0000u, 0x0080u, 0x3000u, 0x3080u}) text += testing::SRecordLine('1', address, data);
  const auto update = dir_.Write("paced.mot", text + testing::SRecordLine('9', 0, {})).string();
  auto run = Flash({}, {"--boot", SmallBoot(), update});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::regex gaps("after chunks: min ([0-9.]+) ms, max [0-9.]+ ms; after blocks: min ([0-9.]+) ms");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.report, m, gaps)) << run.report;
  for (const double gap : {std::stod(m[1]), std::stod(m[2])}) {
    EXPECT_GE(gap, GetParam().min_ms) << run.report;
    EXPECT_LT(gap, GetParam().max_ms) << run.report;
  }
}

// A pause is what was asked (the device may notice the host's last byte a little late, so
// some slack below); without one the host goes on within a few milliseconds.
INSTANTIATE_TEST_SUITE_P(Waits, FlashSendWaitTest,
                         ::testing::Values(PacingCase{20, 15.0, 1000.0}, PacingCase{0, 0.0, 8.0}),
                         [](const auto& info) { return "SendWait" + std::to_string(info.param.send_wait); });

// Several devices in one run: each is its own port with its own thread, log and result.
class GangE2eTest : public FlashE2eTest {
 protected:
  std::string Link(int n) const { return (dir_ / ("port" + std::to_string(n))).string(); }
  std::string FlashOut(int n) const { return (dir_ / ("flash" + std::to_string(n) + ".bin")).string(); }
  pid_t Device(int n, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--flash-in", (dir_ / "flash-in.bin").string(), "--flash-out", FlashOut(n)};
    args.insert(args.end(), extra.begin(), extra.end());
    return StartDevice(args, Link(n));
  }
  std::vector<nlohmann::json> JsonLines() const {
    std::vector<nlohmann::json> events;
    std::istringstream in(ReadFileBytes(dir_ / "cli.out"));
    for (std::string line; std::getline(in, line);) {
      events.push_back(nlohmann::json::parse(line));  // throws (and fails the test) when not JSON
    }
    return events;
  }
  static std::vector<nlohmann::json> Events(const std::vector<nlohmann::json>& all, const std::string& kind) {
    std::vector<nlohmann::json> some;
    for (const auto& e : all) {
      if (e.at("event") == kind) some.push_back(e);
    }
    return some;
  }
};

TEST_F(GangE2eTest, ThreeDevicesAtOnceEachGetTheImageAndTheJsonStreamSaysSo) {
  std::vector<pid_t> devices;
  for (int n : {1, 2, 3}) devices.push_back(Device(n));
  const int status = Wait(StartFlash({"--json", "--port", Link(1), "--port", Link(2), "--port", Link(3), "--boot",
                                      SmallBoot(), kUpdate}));
  for (pid_t d : devices) Wait(d);
  EXPECT_EQ(status, 0) << ReadFileBytes(dir_ / "cli.err");
  const std::string expected = ExpectedFlash(kUpdate);
  for (int n : {1, 2, 3}) EXPECT_TRUE(ReadFileBytes(FlashOut(n)) == expected) << "device " << n;
  const auto events = JsonLines();
  ASSERT_FALSE(events.empty());
  // The message's own text, and its English for those who read English.
  EXPECT_EQ(events.front(), (nlohmann::json{{"event", "message"},
                                            {"id", 202},
                                            {"text", "機器をブートモードで再起動してください。"},
                                            {"text_en", "Restart the device in boot mode."}}));
  EXPECT_EQ(events.back(), (nlohmann::json{{"event", "summary"}, {"ok", 3}, {"failed", 0}, {"exit", 0}}));
  const auto results = Events(events, "result");
  ASSERT_EQ(results.size(), 3u);
  std::set<std::string> ports;
  for (const auto& r : results) {
    ports.insert(r.at("port").get<std::string>());
    EXPECT_EQ(r.at("id"), 205);
    EXPECT_EQ(r.at("ok"), true);
    EXPECT_GT(r.at("bytes").get<long long>(), 14000);
    EXPECT_TRUE(std::filesystem::path(r.at("log").get<std::string>()).is_absolute());
  }
  EXPECT_EQ(ports, (std::set<std::string>{Link(1), Link(2), Link(3)}));
  for (const auto& e : events) {
    if (e.at("event") != "message" || e.at("id") != 202) {
      EXPECT_TRUE(e.contains("port") || e.at("event") == "summary") << e;
    }
  }
  // Per port: a boot phase then a transfer phase, progress that ends each phase at its total.
  for (const auto& port : ports) {
    std::vector<std::string> phases;
    int last_done = -1, last_total = -1;
    for (const auto& e : events) {
      if (!e.contains("port") || e.at("port") != port) continue;
      if (e.at("event") == "phase") {
        if (!phases.empty()) {
          EXPECT_EQ(last_done, last_total) << port << " " << phases.back();
        }
        phases.push_back(e.at("phase"));
      }
      if (e.at("event") == "progress") {
        EXPECT_GT(e.at("done").get<int>(), last_done);
        last_done = e.at("done");
        last_total = e.at("total");
      }
    }
    EXPECT_THAT(phases, ElementsAre("boot", "transfer"));
    EXPECT_EQ(last_done, last_total);
  }
}

TEST_F(GangE2eTest, OneFaultyDeviceFailsAloneWithExit17AndItsOwnLog) {
  std::vector<pid_t> devices{Device(1), Device(2, {"--silent-after-chunk", "5"}), Device(3)};
  const int status = Wait(StartFlash({"--port", Link(1), "--port", Link(2), "--port", Link(3), "--boot", SmallBoot(),
                                      kUpdate}));
  for (pid_t d : devices) Wait(d);
  EXPECT_EQ(status, 17);
  const std::string expected = ExpectedFlash(kUpdate);
  EXPECT_TRUE(ReadFileBytes(FlashOut(1)) == expected);
  EXPECT_TRUE(ReadFileBytes(FlashOut(3)) == expected);
  EXPECT_THAT(LogMessages(dir_ / "q-port2.sts"), ElementsAre("", "SEND DATA RECORD ERROR"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "q-port1.sts"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "q.sts"));
  const std::string out = ReadFileBytes(dir_ / "cli.out");
  // Not a terminal: one plain line per event, each naming its port; then the summary.
  EXPECT_THAT(out, HasSubstr(Link(2) + ": [503] "));
  EXPECT_THAT(out, HasSubstr("stopped in transfer, block"));
  EXPECT_THAT(out, HasSubstr("2 of 3 ports updated; exit status 17"));
  EXPECT_THAT(out, HasSubstr((dir_ / "q-port2.sts").string()));

  // In JSON the failed port's fix names that port's own log, and how to see every byte.
  devices = {Device(1), Device(2, {"--silent-after-chunk", "5"}), Device(3)};
  EXPECT_EQ(Wait(StartFlash({"--json", "--port", Link(1), "--port", Link(2), "--port", Link(3), "--boot", SmallBoot(),
                             kUpdate})),
            17);
  for (pid_t d : devices) Wait(d);
  const auto results = Events(JsonLines(), "result");
  const auto failed = std::find_if(results.begin(), results.end(), [&](const auto& r) { return r.at("port") == Link(2); });
  ASSERT_NE(failed, results.end());
  EXPECT_THAT(failed->at("fix").get<std::string>(), HasSubstr("the log " + (dir_ / "q-port2.sts").string() + " has"));
  EXPECT_THAT(failed->at("fix").get<std::string>(), HasSubstr("--trace FILE"));
}

// A refused port is named in the summary as the message named it, never by the template.
TEST_F(GangE2eTest, TheSummaryNamesARefusedPort) {
  const pid_t device = Device(1);
  const std::string missing = (dir_ / "ttyMissing").string();
  EXPECT_EQ(Wait(StartFlash({"--port", Link(1), "--port", missing, "--boot", SmallBoot(), kUpdate})), 14);
  ::kill(device, SIGTERM);
  Wait(device);
  const std::string out = ReadFileBytes(dir_ / "cli.out");
  EXPECT_THAT(out, HasSubstr(missing + " cannot be opened."));
  EXPECT_THAT(out, Not(HasSubstr("%d")));
  EXPECT_THAT(out, HasSubstr("0 of 1 ports updated; exit status 14"));
}

TEST_F(GangE2eTest, InterruptStopsEveryPortWithARecordEach) {
  std::vector<pid_t> devices{Device(1), Device(2)};
  const pid_t cli = StartFlash({"--json", "--port", Link(1), "--port", Link(2), "--boot", kBoot, kUpdate});
  ASSERT_TRUE(WaitForTransferProgress());
  ::kill(cli, SIGTERM);
  EXPECT_EQ(Wait(cli), 130);
  for (pid_t d : devices) Wait(d);
  EXPECT_THAT(LogMessages(dir_ / "q-port1.sts"), ElementsAre("INTERRUPTED"));
  EXPECT_THAT(LogMessages(dir_ / "q-port2.sts"), ElementsAre("INTERRUPTED"));
  const auto events = JsonLines();
  // What the person reads on standard error, a --json reader reads as an event.
  const auto notices = Events(events, "notice");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].at("kind"), "interrupted");
  EXPECT_EQ(notices[0].at("level"), "error");
  EXPECT_THAT(notices[0].at("text").get<std::string>(), HasSubstr("the record INTERRUPTED is in the log"));
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("the record INTERRUPTED is in the log"));
  const auto results = Events(events, "result");
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) {
    EXPECT_TRUE(r.at("id").is_null());
    EXPECT_EQ(r.at("interrupted"), true);
    EXPECT_EQ(r.at("ok"), false);
  }
  EXPECT_EQ(events.back().at("exit"), 130);
}

TEST_F(GangE2eTest, WrongUsageBeforeAnythingIsSent) {
  // The same device twice, through two names.
  const auto device = dir_.Write("ttyX", "");
  std::filesystem::create_symlink(device, dir_ / "alias");
  EXPECT_EQ(Wait(StartFlash({"--port", device.string(), "--port", (dir_ / "alias").string(), "--boot", kBoot, kUpdate})), 2);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("named twice"));
  // Two devices whose logs would share a name.
  EXPECT_EQ(Wait(StartFlash({"--port", (dir_ / "a" / "ttyS1").string(), "--port", (dir_ / "b" / "ttyS1").string(),
                             "--boot", kBoot, kUpdate})),
            2);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("share the log"));
  // No adapter matches: message 504 and exit 14 before message 202.
  EXPECT_EQ(Wait(StartFlash({"--port", "usb:0403:6001:NO-SUCH-SERIAL", "--boot", kBoot, kUpdate})), 14);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("[504]"));
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.out"), Not(HasSubstr("[202]")));
  // A malformed expression is wrong usage.
  EXPECT_EQ(Wait(StartFlash({"--port", "usb:xyz", "--boot", kBoot, kUpdate})), 2);
}

// Starts `quillon-cli flash` (without --yes) on a terminal of its own and reads what it shows
// until it asks for Enter; `terminal` is the test's end of that terminal.
pid_t StartAtTheQuestion(const std::vector<std::string>& args, int& terminal, std::string& shown) {
  const pid_t cli = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (cli == 0) {
    std::vector<char*> argv{const_cast<char*>(QUILLON_CLI), const_cast<char*>("flash")};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(QUILLON_CLI, argv.data());
    ::_exit(127);
  }
  for (int i = 0; i < 500 && cli > 0 && shown.find("press Enter") == std::string::npos; ++i) {
    pollfd p{terminal, POLLIN, 0};
    if (::poll(&p, 1, 10) > 0) {
      char buffer[256];
      const ssize_t n = ::read(terminal, buffer, sizeof buffer);
      if (n > 0) shown.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return cli;
}

// At message 202 nothing has been sent: Ctrl-C exits 130, end of input (Ctrl-D) exits 3,
// and neither leaves a record or a byte on the line.
TEST_F(FlashE2eTest, CtrlCOrEndOfInputAtTheBootModeQuestionSendsNothing) {
  const pid_t device = StartDevice({"--report", (dir_ / "report.txt").string()});
  const std::vector<std::string> args{"--ini", (dir_ / "q.ini").string(), "--log", (dir_ / "q.sts").string(),
                                      "--port", Port(), "--boot", kBoot, kUpdate};
  for (const bool end_of_input : {false, true}) {
    int terminal = -1;
    std::string shown;
    const pid_t cli = StartAtTheQuestion(args, terminal, shown);
    ASSERT_GT(cli, 0);
    EXPECT_THAT(shown, HasSubstr("[202]"));
    if (end_of_input) {
      ASSERT_EQ(::write(terminal, "\x04", 1), 1);
    } else {
      ::kill(cli, SIGINT);
    }
    EXPECT_EQ(Wait(cli), end_of_input ? 3 : 130);
    ::close(terminal);
  }
  ::kill(device, SIGTERM);
  Wait(device);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "q.sts"));
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), Not(HasSubstr("seen:")));
}

// An answer other than Enter or y never starts the update: n and q call it off, anything
// else is asked again.
TEST_F(FlashE2eTest, NoOrQuitAtTheBootModeQuestionSendsNothing) {
  const pid_t device = StartDevice({"--report", (dir_ / "report.txt").string()});
  const std::vector<std::string> args{"--ini", (dir_ / "q.ini").string(), "--log", (dir_ / "q.sts").string(),
                                      "--port", Port(), "--boot", kBoot, kUpdate};
  for (const std::string answer : {"n\n", "q\n", "later\nn\n"}) {
    int terminal = -1;
    std::string shown;
    const pid_t cli = StartAtTheQuestion(args, terminal, shown);
    ASSERT_GT(cli, 0);
    // Before the question: the port, the file with its size and hash, the bit rate.
    EXPECT_THAT(shown, HasSubstr("port:     " + Port()));
    EXPECT_THAT(shown, HasSubstr(std::string(kUpdate) + " (" + std::to_string(std::filesystem::file_size(kUpdate)) +
                                 " bytes, image SHA-256 "));
    EXPECT_THAT(shown, ::testing::ContainsRegex("image SHA-256 [0-9a-f]{12}\\)"));
    EXPECT_THAT(shown, HasSubstr("boot:     " + kBoot));
    EXPECT_THAT(shown, HasSubstr("bit rate: "));
    ASSERT_EQ(::write(terminal, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    EXPECT_EQ(Wait(cli), 3) << answer;
    ::close(terminal);
  }
  ::kill(device, SIGTERM);
  Wait(device);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "q.sts"));
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), Not(HasSubstr("seen:")));
}

// A port another program holds open (here the test) is refused before message 202: message
// 504 with the holder's PID, the record "Open Error", exit 14, and nothing sent. The doctor
// says the same, and more.
TEST_F(FlashE2eTest, APortHeldByAnotherProgramIsRefusedBeforeTheBootModeQuestion) {
  const pid_t device = StartDevice({"--report", (dir_ / "report.txt").string()});
  const int held = ::open(Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  // The checks may look at the port (one open, no settings changed); nothing else opens it.
  const int watch = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, std::filesystem::canonical(Port()).c_str(), IN_OPEN), 0);
  EXPECT_EQ(Wait(StartFlash({"--port", Port(), "--boot", kBoot, kUpdate})), 14);
  int opens = 0;
  alignas(inotify_event) char events[4096];
  for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;) {
    for (char* at = events; at < events + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len) ++opens;
  }
  ::close(watch);
  EXPECT_EQ(opens, 1);
  const std::string err = ReadFileBytes(dir_ / "cli.err");
  EXPECT_THAT(err, HasSubstr("[504]"));
  EXPECT_THAT(err, HasSubstr("(PID " + std::to_string(::getpid()) + ")"));
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.out"), Not(HasSubstr("[202]")));
  EXPECT_THAT(LogMessages(dir_ / "q.sts"), ElementsAre(Port() + "Open Error"));

  // quillon-cli doctor, beside a boot file, on the same port.
  std::filesystem::create_directories(dir_ / "bin");
  std::filesystem::copy_file(QUILLON_CLI, dir_ / "bin/quillon-cli");
  std::filesystem::copy_file(kBoot, dir_ / "bin/nivaload.sub");
  const auto doctor = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all{(dir_ / "bin/quillon-cli").string(), "doctor", "--json"};
    all.insert(all.end(), args.begin(), args.end());
    const int status = Wait(Spawn(all, dir_ / "doctor.out", dir_ / "doctor.err"));
    return std::make_pair(status, nlohmann::json::parse(ReadFileBytes(dir_ / "doctor.out")));
  };
  auto [status, findings] = doctor({"--port", Port()});
  EXPECT_EQ(status, 18);
  bool named = false;
  for (const auto& f : findings) {
    EXPECT_TRUE(f.contains("check") && f.contains("ok") && f.contains("blocking") && f.contains("detail") && f.contains("fix"));
    EXPECT_EQ(f.at("ok").get<bool>(), f.at("fix").is_null()) << f;
    if (f.at("ok").get<bool>()) {
      EXPECT_FALSE(f.at("blocking").get<bool>()) << f;
    }
    if (f.at("check") == "port.holder") {
      EXPECT_FALSE(f.at("ok").get<bool>());
      named = f.at("detail").get<std::string>().find("PID " + std::to_string(::getpid())) != std::string::npos;
    }
  }
  EXPECT_TRUE(named) << findings;
  ::close(held);
  std::tie(status, findings) = doctor({"--port", Port()});
  EXPECT_EQ(status, 0) << findings;
  std::tie(status, findings) = doctor({"--port", (dir_ / "no-such-port").string()});
  EXPECT_EQ(status, 18);
  EXPECT_EQ(findings.at(0).at("check"), "port.name");  // which port, and how it was reached
  EXPECT_EQ(findings.at(1).at("check"), "port.exists");
  ::kill(device, SIGTERM);
  Wait(device);
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), Not(HasSubstr("seen:")));
}

// The simulated device replaces only a link and removes only its own.
TEST_F(FlashE2eTest, TheSimulatedDeviceIsSafeToPointAnywhere) {
  const auto plain = dir_.Write("plain", "keep me");
  EXPECT_EQ(Wait(Spawn({QUILLON_DEVSIM, "--link", plain.string()}, dir_ / "o", dir_ / "e")), 1);
  EXPECT_EQ(ReadFileBytes(plain), "keep me");
  EXPECT_EQ(Wait(Spawn({QUILLON_DEVSIM, "--no-such-option"}, dir_ / "o", dir_ / "e")), 2);
  EXPECT_EQ(Wait(Spawn({QUILLON_DEVSIM, "--version"}, dir_ / "o", dir_ / "e")), 0);
  EXPECT_THAT(ReadFileBytes(dir_ / "o"), ::testing::MatchesRegex("quillon-devsim [0-9]+\\.[0-9]+\n"));
  // Stopped with SIGTERM: the link goes. Taken over by another instance: the link stays.
  pid_t first = StartDevice({});
  ASSERT_TRUE(std::filesystem::is_symlink(Port()));
  ::kill(first, SIGTERM);
  Wait(first);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Port())));
  first = StartDevice({});
  const auto own = std::filesystem::read_symlink(Port());
  const pid_t second = StartDevice({});  // takes the name over
  std::error_code error;
  for (int i = 0; i < 200 && std::filesystem::read_symlink(Port(), error) == own; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto taken = std::filesystem::read_symlink(Port());
  ASSERT_NE(taken, own);
  ::kill(first, SIGTERM);
  Wait(first);
  ASSERT_TRUE(std::filesystem::is_symlink(Port()));
  EXPECT_EQ(std::filesystem::read_symlink(Port()), taken);
  ::kill(second, SIGTERM);
  Wait(second);
  // An output it cannot write is an error of its own.
  const pid_t device = StartDevice({"--flash-out", (dir_ / "no-such-folder" / "f.bin").string()});
  EXPECT_EQ(Wait(StartFlash({"--port", Port(), "--boot", SmallBoot(), kUpdate})), 0);
  EXPECT_EQ(Wait(device), 1);
}

TEST_F(FlashE2eTest, TraceHoldsEveryByteBothWays) {
  const pid_t device = StartDevice({});
  const auto trace = dir_ / "trace.txt";
  EXPECT_EQ(Wait(StartFlash({"--port", Port(), "--boot", SmallBoot(), "--trace", trace.string(), kUpdate})), 0);
  Wait(device);
  const std::string text = ReadFileBytes(trace);
  // The boot-mode entry: start bytes 0x00, then 0x55 out and 0xAA back.
  EXPECT_TRUE(std::regex_search(text, std::regex("^ *[0-9]+\\.[0-9]{3} TX 00\n")));
  EXPECT_TRUE(std::regex_search(text, std::regex("TX 55\n *[0-9]+\\.[0-9]{3} RX AA\n")));
  long long sent = 0;
  const std::regex tx(" TX((?: [0-9A-F]{2})+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), tx); it != std::sregex_iterator(); ++it) {
    sent += static_cast<long long>((*it)[1].length() / 3);
  }
  EXPECT_GT(sent, 14592);  // at least every data byte of the update
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// Started with a standard stream closed, the CLI must not open the port on its number: the
// progress text or the JSON would go down the line into the device.
class ClosedStreamTest : public FlashE2eTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClosedStreamTest, NothingOfOursReachesTheDevice) {
  const pid_t device = StartDevice({"--flash-in", (dir_ / "flash-in.bin").string(), "--flash-out",
                                    (dir_ / "flash-out.bin").string(), "--report", (dir_ / "report.txt").string()});
  const std::string command = std::string("'") + QUILLON_CLI + "' flash --yes --json --ini '" + (dir_ / "q.ini").string() +
                              "' --log '" + (dir_ / "q.sts").string() + "' --port '" + Port() + "' --boot '" + SmallBoot() +
                              "' '" + kUpdate + "' " + GetParam();
  EXPECT_EQ(testing::RunShell(command), 0);
  EXPECT_EQ(Wait(device), 0);
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), Not(HasSubstr("problem:")));
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(kUpdate));
}

INSTANTIATE_TEST_SUITE_P(Streams, ClosedStreamTest,
                         ::testing::Values("<&- >/dev/null 2>&1", ">&- 2>/dev/null", "2>&- >/dev/null", ">&- 2>&- <&-"),
                         [](const auto& info) { return std::to_string(info.index); });

// A reader that goes away mid-run (| head) costs the output, not the update.
TEST_F(FlashE2eTest, AReaderThatGoesAwayDoesNotStopTheUpdate) {
  const pid_t device = StartDevice({"--flash-in", (dir_ / "flash-in.bin").string(), "--flash-out",
                                    (dir_ / "flash-out.bin").string()});
  const std::string command = std::string("bash -c \"'") + QUILLON_CLI + "' flash --yes --json --ini '" +
                              (dir_ / "q.ini").string() + "' --log '" + (dir_ / "q.sts").string() + "' --port '" +
                              Port() + "' --boot '" + kBoot + "' '" + kUpdate +
                              "' 2>/dev/null | head -n 2 >/dev/null; exit \\${PIPESTATUS[0]}\"";
  EXPECT_EQ(testing::RunShell(command), 0);
  EXPECT_EQ(Wait(device), 0);
  EXPECT_TRUE(LogMessages(dir_ / "q.sts").empty());
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(kUpdate));
}

// Signals: a stop asked twice at once is one orderly stop; a signal while the files load is
// a stop too, never a silent death.
TEST_F(FlashE2eTest, SigintFollowedAtOnceBySigtermIsOneOrderlyStop) {
  const pid_t device = StartDevice({});
  const pid_t cli = StartFlash({"--json", "--port", Port(), "--boot", kBoot, kUpdate});
  ASSERT_TRUE(WaitForTransferProgress());
  ::kill(cli, SIGINT);
  ::kill(cli, SIGTERM);
  EXPECT_EQ(Wait(cli), 130);
  EXPECT_THAT(LogMessages(dir_ / "q.sts"), ElementsAre("INTERRUPTED"));
  ::kill(device, SIGKILL);
  Wait(device);
}

// Whether the process has a handler for `signal` (its SigCgt mask in /proc), waiting up to 10 s.
bool CatchesSignal(pid_t pid, int signal) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigCgt:", 0) == 0 &&
          (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST_F(FlashE2eTest, ASignalBeforeTheRunStartsStopsItWithNothingSent) {
  const pid_t device = StartDevice({"--report", (dir_ / "report.txt").string()});
  // The settings file is a FIFO: reading it waits for a writer, and the signal comes then.
  const auto fifo = dir_ / "fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t cli = Spawn({QUILLON_CLI, "flash", "--yes", "--ini", fifo.string(), "--log", (dir_ / "q.sts").string(),
                           "--port", Port(), "--boot", kBoot, kUpdate},
                          dir_ / "cli.out", dir_ / "cli.err");
  // Only once it catches the signal: before that (a slow start under a sanitizer) SIGTERM
  // would simply end it.
  ASSERT_TRUE(CatchesSignal(cli, SIGTERM));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::kill(cli, SIGTERM);
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (writer >= 0) ::close(writer);
  EXPECT_EQ(Wait(cli), 130);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("before anything was sent"));
  ::kill(device, SIGTERM);
  Wait(device);
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), Not(HasSubstr("seen:")));
}

// The command line's words follow the locale: Japanese for a Japanese one (the messages' own
// texts), English otherwise (the messages in English beside their ids); --json keeps each
// message's own text and adds its English, and for a failure why and what to do, in English.
struct LocaleCase {
  const char* name;
  const char* lang;
  const char* finished;  // message 205 as shown
  const char* sending;   // the update's progress line
  const char* failed;    // message 503 as shown
  const char* hint;      // the advice under it
  const char* where;     // where the update stopped
};

class FlashLocaleTest : public FlashE2eTest, public ::testing::WithParamInterface<LocaleCase> {
 protected:
  void SetUp() override {
    FlashE2eTest::SetUp();
    // As a person's shell has it: LANG alone (the test runner sets LC_ALL for every other test).
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
      ::unsetenv(name);
    }
    ::setenv("LANG", GetParam().lang, 1);
  }
  void TearDown() override {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) ::unsetenv(name);
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  // Two chunks in one block.
  std::string Update() const {
    return dir_
        .Write("two.mot", testing::SRecordLine('1', 0x2000, std::vector<std::uint8_t>(200, 0x5A)) +
                              testing::SRecordLine('9', 0, {}))
        .string();
  }
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_P(FlashLocaleTest, ASuccessfulAndAFailedUpdateInTheReadersLanguage) {
  auto passed = Flash({}, {"--port", Port(), "--boot", SmallBoot(), Update()});
  EXPECT_EQ(passed.status, 0) << passed.err;
  EXPECT_THAT(passed.out, HasSubstr(GetParam().finished));
  EXPECT_THAT(passed.err, HasSubstr(GetParam().sending));

  // The line drops at the second chunk: message 503.
  auto failed =
      Flash({"--hangup-at-chunk", "1"}, {"--port", Port(), "--boot", SmallBoot(), Update()});
  EXPECT_EQ(failed.status, 13);
  EXPECT_THAT(failed.err, HasSubstr(GetParam().failed));
  EXPECT_THAT(failed.err, HasSubstr(GetParam().hint));
  EXPECT_THAT(failed.err, HasSubstr(GetParam().where));
  // The log keeps its own texts whatever the locale.
  ASSERT_FALSE(failed.records.empty());
  EXPECT_EQ(failed.records.back(), "SEND DATA RECORD ERROR");

  auto json = Flash({"--hangup-at-chunk", "1"},
                    {"--json", "--port", Port(), "--boot", SmallBoot(), Update()});
  std::optional<nlohmann::json> result;
  std::istringstream lines(json.out);
  for (std::string line; std::getline(lines, line);) {
    const auto event = nlohmann::json::parse(line);
    if (event.at("event") == "result") result = event;
  }
  ASSERT_TRUE(result) << json.out;
  EXPECT_EQ(result->at("text"), "バージョンアップファイルの転送に失敗しました。");
  EXPECT_EQ(result->at("text_en"), "Sending the update file failed.");
  EXPECT_THAT(result->at("reason").get<std::string>(), HasSubstr("stopped in transfer, block"));
  EXPECT_THAT(result->at("fix").get<std::string>(),
              HasSubstr("Check the connection and the bit rate"));
}

INSTANTIATE_TEST_SUITE_P(
    Locales, FlashLocaleTest,
    ::testing::Values(LocaleCase{"english", "C.UTF-8",
                                 "[205] The update has finished.\nSet the DIP switches back",
                                 "Sending the update: ", "[503] Sending the update file failed.",
                                 "Check the connection and the bit rate",
                                 "The update stopped in transfer, block"},
                      LocaleCase{"japanese", "ja_JP.UTF-8",
                                 "[205] バージョンアップが終了しました\nディップスイッチを元に戻し",
                                 "バージョンアップデータを転送中です: ",
                                 "[503] バージョンアップファイルの転送に失敗しました。",
                                 "接続とビットレート", "バージョンアップは転送のブロック"}),
    [](const auto& info) { return std::string(info.param.name); });

// A link and the pseudo-terminal it leads to are one device.
TEST_F(FlashE2eTest, TheSameDeviceNamedTwiceIsWrongUsage) {
  const pid_t device = StartDevice({"--report", (dir_ / "report.txt").string()});
  const std::string real = std::filesystem::canonical(Port()).string();
  EXPECT_EQ(Wait(StartFlash({"--port", Port(), "--port", real, "--boot", kBoot, kUpdate})), 2);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr("named twice"));
  ::kill(device, SIGTERM);
  Wait(device);
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), Not(HasSubstr("seen:")));
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// Where --trace may point: only a regular file or a new one, never a file or device of the
// run. Anything else is wrong usage, found before message 202 with nothing sent.
struct TraceCase {
  const char* name;
  std::function<std::string(const TempDir& dir, const std::string& other_port)> trace;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

class TraceDestinationTest : public GangE2eTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TraceDestinationTest, IsRefusedBeforeAnythingIsSent) {
  const pid_t device = StartDevice({"--report", (dir_ / "report.txt").string()});
  const pid_t other = StartDevice({"--report", (dir_ / "other.txt").string()}, Link(2));
  const std::string update = dir_.Write("copy.mot", ReadFileBytes(kUpdate)).string();
  const std::string trace = GetParam().trace(dir_, Link(2));
  EXPECT_EQ(Wait(StartFlash({"--port", Port(), "--boot", kBoot, "--trace", trace, update})), 2);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), HasSubstr(trace));
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.out"), Not(HasSubstr("[202]")));
  EXPECT_EQ(ReadFileBytes(update), ReadFileBytes(kUpdate));
  for (pid_t d : {device, other}) ::kill(d, SIGTERM);
  for (pid_t d : {device, other}) Wait(d);
  EXPECT_THAT(ReadFileBytes(dir_ / "report.txt"), Not(HasSubstr("seen:")));
  EXPECT_THAT(ReadFileBytes(dir_ / "other.txt"), Not(HasSubstr("seen:")));
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, TraceDestinationTest,
    ::testing::Values(
        TraceCase{"another_ports_device", [](const TempDir&, const std::string& other) { return other; }},
        TraceCase{"a_fifo",
                  [](const TempDir& dir, const std::string&) {
                    ::mkfifo((dir / "trace.fifo").c_str(), 0600);
                    return (dir / "trace.fifo").string();
                  }},
        TraceCase{"the_log", [](const TempDir& dir, const std::string&) { return (dir / "q.sts").string(); }},
        TraceCase{"the_update_file", [](const TempDir& dir, const std::string&) { return (dir / "copy.mot").string(); }},
        TraceCase{"the_boot_file", [](const TempDir&, const std::string&) { return kBoot; }},
        TraceCase{"a_folder_that_is_not_there",
                  [](const TempDir& dir, const std::string&) { return (dir / "none" / "trace.txt").string(); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Starts the CLI with its standard output on `out` (a pipe's end the test holds).
pid_t SpawnWithOutput(const std::vector<std::string>& args, int out, const std::filesystem::path& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A --json pipe that nobody reads (here already full) holds up neither the ports nor a stop.
class StuckReaderTest : public FlashE2eTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StuckReaderTest, NeitherThePortsNorAStopWaitForIt) {
  const bool interrupt = GetParam();
  const pid_t device = StartDevice({"--flash-in", (dir_ / "flash-in.bin").string(), "--flash-out",
                                    (dir_ / "flash-out.bin").string()});
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_NONBLOCK), 0);
  while (::write(pipe_ends[1], "xxxxxxxxxxxxxxxx", 16) > 0) {
  }
  ::fcntl(pipe_ends[1], F_SETFL, 0);
  const auto trace = dir_ / "trace.txt";
  const pid_t cli = SpawnWithOutput({QUILLON_CLI, "flash", "--yes", "--json", "--ini", (dir_ / "q.ini").string(), "--log",
                                     (dir_ / "q.sts").string(), "--trace", trace.string(), "--port", Port(), "--boot",
                                     SmallBoot(), kUpdate},
                                    pipe_ends[1], dir_ / "cli.err");
  ::close(pipe_ends[1]);
  if (interrupt) {
    // Its events cannot be read here (their pipe is full): the trace tells when the update's
    // chunks are going out.
    const auto traced = [&] {
      std::error_code error;
      const auto size = std::filesystem::file_size(trace, error);
      return error ? 0 : size;
    };
    for (int i = 0; i < 1500 && traced() < 16 * 1024; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(traced(), 16u * 1024);
    ::kill(cli, SIGINT);
  }
  const auto start = std::chrono::steady_clock::now();
  const int status = Wait(cli);
  if (interrupt) {
    EXPECT_EQ(status, 130);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_THAT(LogMessages(dir_ / "q.sts"), ElementsAre("INTERRUPTED"));
    ::kill(device, SIGKILL);
    Wait(device);
  } else {
    EXPECT_EQ(status, 0) << ReadFileBytes(dir_ / "cli.err");
    EXPECT_EQ(Wait(device), 0);
    EXPECT_TRUE(ReadFileBytes(dir_ / "flash-out.bin") == ExpectedFlash(kUpdate));
  }
  ::close(pipe_ends[0]);
}

INSTANTIATE_TEST_SUITE_P(Outputs, StuckReaderTest, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "ctrl_c" : "to_the_end"); });

// A warning from a port's thread (its log cannot be written) is an event of the JSON stream,
// never stray text among it or on a live line.
TEST_F(GangE2eTest, AWarningFromAPortIsAJsonMessage) {
  std::filesystem::create_directories(dir_ / "q.sts");
  const pid_t device = StartDevice({"--silent-at", "ready"});
  EXPECT_EQ(Wait(StartFlash({"--json", "--port", Port(), "--boot", SmallBoot(), kUpdate}, dir_ / "q.sts")), 13);
  Wait(device);
  bool warned = false;
  for (const auto& e : JsonLines()) {
    if (e.at("event") == "message" && e.value("level", "") == "warning") {
      warned = e.at("text").get<std::string>().find("could not be written") != std::string::npos;
      EXPECT_EQ(e.at("port"), Port());
    }
  }
  EXPECT_TRUE(warned);
  EXPECT_THAT(ReadFileBytes(dir_ / "cli.err"), Not(HasSubstr("could not be written")));
}

}  // namespace
}  // namespace quillon
