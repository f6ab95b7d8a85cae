#include "update/update_sequence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/messages.h"
#include "testing/fake_comm_driver.h"
#include "testing/fake_device.h"
#include "testing/fakes.h"
#include "testing/srecord_text.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::FakeCommDriver;
using testing::FakePause;
using testing::LogMessages;
using testing::RecordingProgress;
using testing::RecordingPrompt;
using testing::TempDir;
using testing::UpdateDevice;

const std::string& kBoot = testing::kTwoByteBoot;
const std::string& kUpdate = testing::kTwoByteUpdate;

class UpdateSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_.clock = &pause_;
    settings_.ProgramDir = dir_.path().string() + "/";
    settings_.InfoFile = "nivaload.sub";
    settings_.MotFile = dir_.Write("update.mot", kUpdate).string();
    settings_.Com = 3;
    dir_.Write("nivaload.sub", kBoot);
  }
  int Send() {
    device_.Attach(driver_, 2);
    return sequence_.OnSend();
  }
  std::vector<std::string> Records() const { return LogMessages(dir_ / "q.sts"); }

  TempDir dir_;
  UpdateSettings settings_;
  EventLog log_{dir_ / "q.sts"};
  FakeCommDriver driver_;
  SerialPort port_{driver_, log_};
  FakePause pause_;
  RecordingProgress progress_;
  RecordingPrompt prompt_;
  UpdateDevice device_;
  UpdateSequence sequence_{settings_, port_, pause_, progress_, prompt_, log_};
};

TEST_F(UpdateSequenceTest, SuccessShows202Then205AndClosesThePortAfterwards) {
  bool open_while_205 = false;
  prompt_.on_message = [&](int id) {
    if (id == kMsgUpdateFinished) open_while_205 = port_.IsOpen();
  };
  EXPECT_EQ(Send(), kMsgUpdateFinished);
  EXPECT_THAT(prompt_.calls, ElementsAre("disable", "msg:202", "msg:205", "enable"));
  EXPECT_TRUE(open_while_205);
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(driver_.calls.front(), "open:" + PortDeviceName(3, {}));
  EXPECT_EQ(driver_.state.BaudRate, 115200u);
  EXPECT_TRUE(Records().empty());
  EXPECT_EQ(prompt_.texts[1], MessageText(kMsgUpdateFinished));
}

struct FileFailure {
  const char* name;
  std::function<void(UpdateSettings&, const TempDir&)> arrange;
  int message;
  std::function<std::string(const UpdateSettings&)> record;
};

class FileFailureTest : public UpdateSequenceTest, public ::testing::WithParamInterface<FileFailure> {};

TEST_P(FileFailureTest, BoxFirstThenRecordAndNothingOnTheLine) {
  GetParam().arrange(settings_, dir_);
  // The record is written only after the box has been dismissed.
  std::vector<std::string> records_at_box;
  prompt_.on_message = [&](int) { records_at_box = Records(); };
  EXPECT_EQ(Send(), GetParam().message);
  EXPECT_TRUE(records_at_box.empty());
  EXPECT_THAT(prompt_.calls, ElementsAre("disable", "msg:" + std::to_string(GetParam().message), "enable"));
  EXPECT_THAT(Records(), ElementsAre(GetParam().record(settings_)));
  EXPECT_TRUE(driver_.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileFailureTest,
    ::testing::Values(
        FileFailure{"boot_missing", [](auto& s, auto&) { s.InfoFile = "absent.sub"; }, 500,
                    [](auto& s) { return "NO BOOT FILE :" + s.ProgramDir + "absent.sub"; }},
        FileFailure{"boot_info_file_is_a_full_path",
                    [](auto& s, auto& d) { s.InfoFile = (d / "nivaload.sub").string(); }, 500,
                    [](auto& s) { return "NO BOOT FILE :" + s.ProgramDir + s.InfoFile; }},
        FileFailure{"boot_without_data", [](auto&, auto& d) { d.Write("nivaload.sub", "S9030000FC\r\n"); }, 506,
                    [](auto& s) { return "BOOT FILE DATA ERROR :" + s.ProgramDir + "nivaload.sub"; }},
        FileFailure{"boot_bad", [](auto&, auto& d) { d.Write("nivaload.sub", "S1050000AB123E\r\n"); }, 506,
                    [](auto& s) { return "BOOT FILE DATA ERROR :" + s.ProgramDir + "nivaload.sub"; }},
        FileFailure{"no_update_chosen", [](auto& s, auto&) { s.MotFile.clear(); }, 501,
                    [](auto&) { return std::string("NO DATA FILE :"); }},
        FileFailure{"update_bad", [](auto&, auto& d) { d.Write("update.mot", "S1050100AB1237\r\n"); }, 505,
                    [](auto& s) { return "DATA FILE DATA ERROR :" + s.MotFile; }},
        // Loads with result 1 but puts nothing into the flash: no "update finished" for it.
        FileFailure{"update_without_flash_data",
                    [](auto&, auto& d) { d.Write("update.mot", "S0030000FC\r\nS9030000FC\r\n"); }, 505,
                    [](auto& s) { return "DATA FILE DATA ERROR :" + s.MotFile; }},
        FileFailure{"update_all_beyond_flash",
                    [](auto&, auto& d) { d.Write("update.mot", "S20504000001F5\r\n"); }, 505,
                    [](auto& s) { return "DATA FILE DATA ERROR :" + s.MotFile; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, MainWindowIsEnabledAgainWhenSomethingThrows) {
  prompt_.on_message = [](int id) {
    if (id == kMsgRestartInBootMode) throw std::runtime_error("a path the system cannot convert");
  };
  EXPECT_THROW(Send(), std::runtime_error);
  EXPECT_THAT(prompt_.calls, ElementsAre("disable", "msg:202", "enable"));
}

TEST_F(UpdateSequenceTest, PortThatCannotOpenNamesComInSignedDecimal) {
  driver_.open_ok = false;
  settings_.Com = -1;
  EXPECT_EQ(Send(), kMsgPortOpenFailed);
  EXPECT_THAT(prompt_.calls, ElementsAre("disable", "msg:202", "msg:504", "enable"));
  EXPECT_EQ(prompt_.texts.back(), "COM-1がオープンできません。");
  // Only the port's own record: the sequence adds none for this failure.
  EXPECT_THAT(Records(), ElementsAre(PortDeviceName(-1, {}) + "Open Error"));
}

TEST_F(UpdateSequenceTest, CommandLineTargetNamesTheDevice) {
  driver_.open_ok = false;
  device_.Attach(driver_, 2);
  EXPECT_EQ(sequence_.OnSend({"", "/dev/ttyUSB7", "/dev/ttyUSB7"}), kMsgPortOpenFailed);
  EXPECT_EQ(prompt_.texts.back(), "/dev/ttyUSB7がオープンできません。");
}

struct ProtocolFailure {
  const char* name;
  std::function<void(UpdateDevice&)> script;
  int message;
  std::vector<std::string> records;
};

class ProtocolFailureTest : public UpdateSequenceTest, public ::testing::WithParamInterface<ProtocolFailure> {};

TEST_P(ProtocolFailureTest, RecordFirstThenBoxAndThePortStaysOpen) {
  GetParam().script(device_);
  std::vector<std::string> records_at_box;
  prompt_.on_message = [&](int id) {
    if (id != kMsgRestartInBootMode) records_at_box = Records();
  };
  EXPECT_EQ(Send(), GetParam().message);
  EXPECT_EQ(records_at_box, GetParam().records);
  EXPECT_EQ(Records(), GetParam().records);
  EXPECT_THAT(prompt_.calls,
              ElementsAre("disable", "msg:202", "msg:" + std::to_string(GetParam().message), "enable"));
  EXPECT_TRUE(port_.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Phases, ProtocolFailureTest,
    ::testing::Values(
        ProtocolFailure{"silent_device", [](auto& d) { d.boot.start_answer.reset(); }, 502, {"", "SEND BOOT ERROR"}},
        ProtocolFailure{"bit_rate_nak", [](auto& d) { d.bitrate_ack = {{0x15}}; }, 503, {"Ack Error", "SEND TRANSMIT ERROR"}},
        ProtocolFailure{"no_block_ack", [](auto& d) { d.flash.block_ack = {}; }, 503, {"", "SEND DATA RECORD ERROR"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Where a run stopped, as the command line reports it: three chunks in block 0 (its used
// length runs from the block's start), then three in block 9.
struct StopCase {
  const char* name;
  std::function<void(UpdateDevice&, FakeCommDriver&)> script;
  RunPhase phase;
  int block;
  int chunk;
};

class StopPointTest : public UpdateSequenceTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopPointTest, SaysWhereTheRunStopped) {
  settings_.MotFile = dir_.Write("two-blocks.mot", testing::SRecordLine('2', 0x100, std::vector<std::uint8_t>(16, 1)) +
                                                       testing::SRecordLine('2', 0x10000, std::vector<std::uint8_t>(250, 2)) +
                                                       testing::SRecordLine('2', 0x100FA, std::vector<std::uint8_t>(50, 3)) +
                                                       "S9030000FC\r\n")
                          .string();
  GetParam().script(device_, driver_);
  Send();
  const auto& [name, script, phase, block, chunk] = GetParam();
  EXPECT_EQ(sequence_.stop_point().phase, phase);
  EXPECT_EQ(sequence_.stop_point().block, block);
  EXPECT_EQ(sequence_.stop_point().chunk, chunk);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, StopPointTest,
    ::testing::Values(
        StopCase{"finished", [](auto&, auto&) {}, RunPhase::kDone, -1, 0},
        StopCase{"port", [](auto&, auto& driver) { driver.open_ok = false; }, RunPhase::kOpen, -1, 0},
        StopCase{"boot", [](auto& d, auto&) { d.boot.start_answer.reset(); }, RunPhase::kBoot, -1, 0},
        StopCase{"handshake", [](auto& d, auto&) { d.bitrate_ack = {{0x15}}; }, RunPhase::kHandshake, -1, 0},
        StopCase{"first_block_header", [](auto& d, auto&) { d.flash.block_ack = {}; }, RunPhase::kTransfer, 0, 0},
        StopCase{"second_chunk_of_block_9", [](auto& d, auto&) { d.flash.silent_after_chunk = 4; },
                 RunPhase::kTransfer, 9, 1},
        StopCase{"closing", [](auto& d, auto&) { d.flash.closing = {}; }, RunPhase::kClosing, -1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, SecondRunAfterAFailureOpensTheSamePortAgain) {
  device_.flash.block_ack = {};
  EXPECT_EQ(Send(), kMsgDataSendFailed);
  ASSERT_TRUE(port_.IsOpen());
  driver_ = FakeCommDriver{};
  driver_.open_ok = true;
  UpdateDevice healthy;
  healthy.Attach(driver_, 2);
  EXPECT_EQ(sequence_.OnSend(), kMsgUpdateFinished);
  EXPECT_EQ(driver_.calls.front(), "open:" + PortDeviceName(3, {}));
}

}  // namespace
}  // namespace quillon
