// quillon-cli flash against quillon-devsim over a pseudo-terminal: the device's flash
// afterwards, the exit status, the message and the log records.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "image/srecord.h"
#include "testing/process.h"
#include "testing/temp_dir.h"


namespace quillon {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
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

  // Runs the device with `device_args`, then the CLI with `cli_args` against its port.
  RunResult Flash(std::vector<std::string> device_args, std::vector<std::string> cli_args, bool start_device = true) {
    const auto link = (dir_ / "port").string();
    pid_t device = -1;
    if (start_device) {
      std::vector<std::string> args{QUILLON_DEVSIM, "--link", link, "--flash-in", (dir_ / "flash-in.bin").string(),
                                    "--flash-out", (dir_ / "flash-out.bin").string(), "--report",
                                    (dir_ / "report.txt").string()};
      args.insert(args.end(), device_args.begin(), device_args.end());
      device = Spawn(args, dir_ / "devsim.out", dir_ / "devsim.err");
      for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<std::string> args{QUILLON_CLI, "flash", "--yes", "--ini", (dir_ / "q.ini").string(), "--log",
                                  (dir_ / "q.sts").string()};
    args.insert(args.end(), cli_args.begin(), cli_args.end());
    RunResult run;
    run.status = Wait(Spawn(args, dir_ / "cli.out", dir_ / "cli.err"));
    if (device > 0) {
      // A device left waiting by a failed host gives up once the host has let go.
      Wait(device);
    }
    run.out = ReadFileBytes(dir_ / "cli.out");
    run.err = ReadFileBytes(dir_ / "cli.err");
    run.records = LogMessages(dir_ / "q.sts");
    run.report = ReadFileBytes(dir_ / "report.txt");
    return run;
  }

  std::string Port() const { return (dir_ / "port").string(); }

  // The flash a correct update leaves: blocks that carry data replaced by the image's block
  // (erased, then written), every other block as it was.
  std::string ExpectedFlash(const std::string& update) const {
    FlashImage image;
    EXPECT_EQ(SRecordReader().LoadFlashImage(image, update), 1);
    std::string flash = ReadFileBytes(dir_ / "flash-in.bin");
    for (int i = 0; i < kFlashBlockCount; ++i) {
      if (image[i].UsedLength == 0) continue;
      std::copy(image[i].Bytes.begin(), image[i].Bytes.end(), flash.begin() + FlashBlockTable[i].base);
    }
    return flash;
  }

  TempDir dir_;
};

TEST_F(FlashE2eTest, UpdateAt115200RewritesExactlyTheSentBlocks) {
  auto run = Flash({}, {"--port", Port(), "--boot", kBoot, kUpdate});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("[205] バージョンアップが終了しました\n"));
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
  EXPECT_THAT(run.err, HasSubstr("[504] " + missing + "がオープンできません。"));
  EXPECT_THAT(run.records, ElementsAre(missing + "Open Error"));
}

TEST_F(FlashE2eTest, FileFailuresNeedNoDevice) {
  auto missing_boot = Flash({}, {"--port", Port(), "--boot", (dir_ / "none.sub").string(), kUpdate}, false);
  EXPECT_EQ(missing_boot.status, 10);
  EXPECT_THAT(missing_boot.records, ElementsAre("NO BOOT FILE :" + (dir_ / "none.sub").string()));
  const auto bad = dir_.Write("bad.mot", "S1050000AB123E\r\n").string();
  auto bad_update = Flash({}, {"--port", Port(), "--boot", kBoot, bad}, false);
  EXPECT_EQ(bad_update.status, 15);
  EXPECT_THAT(bad_update.err, HasSubstr("[505]"));
  auto usage = Flash({}, {"--baud", "2400", kUpdate}, false);
  EXPECT_EQ(usage.status, 2);
}

}  // namespace
}  // namespace quillon
