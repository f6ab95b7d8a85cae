#include <numeric>

#include "testing/protocol_fixture.h"
#include "testing/fake_device.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::ProtocolTest;
using Bytes = testing::FakeCommDriver::Bytes;
using testing::BootDevice;

Bytes Program(int n) {
  Bytes p(static_cast<std::size_t>(n));
  std::iota(p.begin(), p.end(), std::uint8_t{1});
  return p;
}

class SendBootTest : public ProtocolTest {
 protected:
  bool Run(int length) {
    program_ = Program(length);
    device_.Attach(driver_, program_.size());
    return protocol_.SendBoot(program_);
  }
  BootDevice device_;
  Bytes program_;
};

TEST_F(SendBootTest, ThreeHundredBytesGoAsThreeChunksUnderTheLagRule) {
  device_.echo_piece = 64;
  ASSERT_TRUE(Run(300));
  // Eleven start bytes, two size bytes, then 128, 128 and 44.
  std::vector<std::size_t> sizes;
  for (const auto& w : driver_.writes) sizes.push_back(w.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 128, 128, 44}));
  EXPECT_EQ(Bytes(driver_.writes[11].begin(), driver_.writes[11].end()), Bytes{0x01});
  EXPECT_EQ(Bytes(driver_.writes[12].begin(), driver_.writes[12].end()), Bytes{0x2C});
  // Reads between chunk writes: one read (64 echoed) lets chunk 2 go, two more (192)
  // let chunk 3 go, and three more bring all 300 back.
  std::vector<int> reads_between;
  int reads = -1;
  for (const auto& call : driver_.calls) {
    if (call.rfind("write:", 0) == 0 && call != "write:1") {
      if (reads >= 0) reads_between.push_back(reads);
      reads = 0;
    } else if (reads >= 0 && call.rfind("read:", 0) == 0) {
      ++reads;
    }
  }
  EXPECT_EQ(reads_between, (std::vector<int>{1, 2}));
  EXPECT_EQ(CountPauses(50), 11);
  EXPECT_EQ(CountPauses(128), 5);
  EXPECT_THAT(progress_.calls, ElementsAre("text:ブートレコードを転送中です/3", "show", "step", "step",
                                           "step", "close"));
  EXPECT_TRUE(Records().empty());
}

struct BootOutcome {
  const char* name;
  int length;
  std::function<void(BootDevice&, testing::FakeCommDriver&)> script;
  bool result;
  std::vector<std::string> records;
  bool progress_opened;
};

class SendBootOutcomeTest : public SendBootTest, public ::testing::WithParamInterface<BootOutcome> {};

TEST_P(SendBootOutcomeTest, ResultRecordsAndProgress) {
  GetParam().script(device_, driver_);
  EXPECT_EQ(Run(GetParam().length), GetParam().result);
  EXPECT_EQ(Records(), GetParam().records);
  const bool opened = !progress_.calls.empty();
  EXPECT_EQ(opened, GetParam().progress_opened);
  if (opened) {
    EXPECT_EQ(progress_.calls.back(), "close");
  }
}

const auto kNothing = [](BootDevice&, testing::FakeCommDriver&) {};

INSTANTIATE_TEST_SUITE_P(
    Cases, SendBootOutcomeTest,
    ::testing::Values(
        BootOutcome{"exactly_one_chunk", 128, kNothing, true, {}, true},
        BootOutcome{"one_byte", 1, kNothing, true, {}, true},
        BootOutcome{"final_answer_with_last_echoes", 300,
                    [](auto& d, auto&) { d.final_with_last_echo = true; }, true, {}, true},
        BootOutcome{"final_answer_wrong_with_last_echoes", 300,
                    [](auto& d, auto&) { d.final_with_last_echo = true, d.final_answer = 0x55; }, false, {}, true},
        // The byte right after the last echo decides; what follows it in the read does not.
        BootOutcome{"stray_byte_after_good_final_answer", 300,
                    [](auto& d, auto&) { d.final_with_last_echo = true, d.after_final = {0x00}; }, true, {}, true},
        BootOutcome{"wrong_final_answer_then_aa", 300,
                    [](auto& d, auto&) { d.final_with_last_echo = true, d.final_answer = 0x55, d.after_final = {0xAA}; },
                    false, {}, true},
        BootOutcome{"final_answer_wrong", 300, [](auto& d, auto&) { d.final_answer = 0x00; }, false, {}, true},
        BootOutcome{"no_final_answer", 300, [](auto& d, auto&) { d.final_answer.reset(); }, false, {""}, true},
        BootOutcome{"silent_device", 300, [](auto& d, auto&) { d.start_answer.reset(); }, false, {""}, false},
        BootOutcome{"wrong_start_answer", 300, [](auto& d, auto&) { d.start_answer = 0x00; }, false, {""}, false},
        // A silent chip must not pass the size phase, even for a size byte of 0xFF.
        BootOutcome{"silent_after_start_size_ff", 0xFFFF, [](auto& d, auto&) { d.echo_size = false; }, false, {""}, false},
        BootOutcome{"wrong_size_echo", 300, [](auto& d, auto&) { d.size_echo_override = 0x42; }, false, {""}, false},
        BootOutcome{"wrong_echo", 300, [](auto& d, auto&) { d.wrong_echo_at = 200; }, false, {""}, true},
        BootOutcome{"echo_stops", 300, [](auto& d, auto&) { d.echo_stops_at = 100; }, false, {"No Echo"}, true},
        BootOutcome{"start_write_fails", 300,
                    [](auto&, auto& drv) { drv.write_count = [](auto) { return std::size_t{0}; }; }, false, {""}, false},
        // A short chunk write is a failed write.
        BootOutcome{"chunk_write_short", 300,
                    [](auto&, auto& drv) {
                      drv.write_count = [](auto bytes) { return bytes.size() > 1 ? bytes.size() - 1 : bytes.size(); };
                    },
                    false, {""}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Programs that end on a chunk boundary (and one byte past it), their echoes coming back
// late and in small groups: whatever the grouping, the device's final answer decides.
struct ChunkEdgeCase {
  int length;
  std::size_t piece;
  bool with_last_echo;
};

class BootChunkEdgeTest : public SendBootTest, public ::testing::WithParamInterface<ChunkEdgeCase> {};

TEST_P(BootChunkEdgeTest, TheFinalAnswerAloneDecides) {
  const auto [length, piece, with_last_echo] = GetParam();
  for (std::optional<std::uint8_t> answer : {std::optional<std::uint8_t>{0xAA}, std::optional<std::uint8_t>{0x55},
                                              std::optional<std::uint8_t>{}}) {
    SCOPED_TRACE(answer ? static_cast<int>(*answer) : -1);
    driver_ = {};
    driver_.clock = &pause_;
    ASSERT_EQ(port_.OpenPort("dev"), 1);
    std::filesystem::remove(dir_ / "q.sts");
    device_ = {};
    device_.echo_piece = piece;
    device_.echo_delay_ms = 40;
    device_.final_with_last_echo = with_last_echo;
    device_.final_answer = answer;
    EXPECT_EQ(Run(length), answer == 0xAA);
    // Every byte of the program went out once, in chunks of 128 and the rest.
    Bytes sent;
    for (std::size_t i = 13; i < driver_.writes.size(); ++i) sent.insert(sent.end(), driver_.writes[i].begin(), driver_.writes[i].end());
    EXPECT_EQ(sent, program_);
    // Only silence after the last echo leaves a record.
    EXPECT_EQ(Records().size(), answer ? 0u : 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, BootChunkEdgeTest,
                         ::testing::Values(ChunkEdgeCase{128, 1, false}, ChunkEdgeCase{128, 7, true},
                                           ChunkEdgeCase{128, 64, false}, ChunkEdgeCase{256, 5, false},
                                           ChunkEdgeCase{256, 3, true}, ChunkEdgeCase{256, 100, true},
                                           ChunkEdgeCase{129, 1, true}, ChunkEdgeCase{129, 16, false},
                                           ChunkEdgeCase{129, 128, true}));

TEST_F(SendBootTest, SilentDeviceTimesOutAfterTheStartBytesAndOnePoll) {
  device_.start_answer.reset();
  EXPECT_FALSE(Run(300));
  EXPECT_EQ(CountPauses(50), 11);
  // Eleven reads after the start bytes, then the poll's 700, each followed by a 5 ms wait.
  EXPECT_EQ(driver_.queries, 11 + 700);
  EXPECT_EQ(CountWaits(5), 700);
  EXPECT_EQ(pause_.now_ms, 11 * 50 + 700 * 5);
  EXPECT_EQ(driver_.writes.size(), 11u);
}

TEST_F(SendBootTest, ZeroSizeByteWhoseWriteFailsDoesNotPass) {
  // Size 0x0080 = 0x00 then 0x80: the 0x00 write fails.
  program_ = Program(128);
  device_.Attach(driver_, program_.size());
  int writes = 0;
  driver_.write_count = [&writes](auto bytes) { return ++writes == 12 ? std::size_t{0} : bytes.size(); };
  EXPECT_FALSE(protocol_.SendBoot(program_));
  EXPECT_THAT(Records(), ElementsAre(""));
  EXPECT_EQ(driver_.writes.size(), 12u);
}

TEST_F(SendBootTest, EchoStopAllowsMoreThan700EmptyReads) {
  device_.echo_stops_at = 10;
  device_.final_answer.reset();
  EXPECT_FALSE(Run(128));
  EXPECT_THAT(Records(), ElementsAre("No Echo"));
  EXPECT_EQ(CountPauses(128), 1 + 701);
}

TEST_F(SendBootTest, StartAnswerWithinTheFirstPauseSkipsThePoll) {
  ASSERT_TRUE(Run(20));
  EXPECT_EQ(CountWaits(5), 0);
}

TEST_F(SendBootTest, ReadErrorInProgramPhaseEndsTheDownload) {
  program_ = Program(300);
  device_.Attach(driver_, program_.size());
  auto on_write = driver_.on_write;
  driver_.on_write = [&, on_write](std::span<const std::uint8_t> bytes) {
    on_write(bytes);
    if (bytes.size() == 128) driver_.pending_errors = kCeFrame;
  };
  EXPECT_FALSE(protocol_.SendBoot(program_));
  EXPECT_THAT(Records(), ElementsAre(" ReadCom() :Error Code = 8", ""));
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

struct ProbeCase {
  const char* name;
  bool echo;  // the chip echoes every start byte, as one adjusting its bit rate does
  std::vector<std::pair<long long, testing::FakeCommDriver::Bytes>> after_55;  // (ms after the 0x55, bytes)
  BootModeProbe expected;
  long long waited_ms;  // after the eleven paced bytes: exactly this long unless answered (then at most)
};

class ProbeBootModeTest : public testing::ProtocolTest, public ::testing::WithParamInterface<ProbeCase> {};

// The start bytes go out as the boot-mode entry sends them. A quiet line gets the probe's own
// wait; a line that said anything gets the update's whole answer time, so a chip that answers
// late is taken rather than fed the next probe's start bytes. No record whatever it hears.
TEST_P(ProbeBootModeTest, SaysWhatTheStartBytesBroughtBack) {
  driver_.on_write = [this](std::span<const std::uint8_t> bytes) {
    if (GetParam().echo) driver_.ArriveIn(0, {bytes.begin(), bytes.end()});
    if (bytes[0] != 0x55) return;
    for (const auto& [after, arrival] : GetParam().after_55) driver_.ArriveIn(after, arrival);
  };
  const auto start = pause_.Now();
  EXPECT_EQ(protocol_.ProbeBootMode(500), GetParam().expected);
  ASSERT_EQ(driver_.writes.size(), 11u);
  EXPECT_EQ(driver_.writes.back(), (testing::FakeCommDriver::Bytes{0x55}));
  EXPECT_EQ(CountPauses(50), 11);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(pause_.Now() - start).count() - 550;
  EXPECT_LE(waited, GetParam().waited_ms);
  if (GetParam().expected != BootModeProbe::kAnswered) {
    EXPECT_GE(waited, GetParam().waited_ms);
  }
  EXPECT_TRUE(Records().empty());
}

using Arrivals = std::vector<std::pair<long long, testing::FakeCommDriver::Bytes>>;
INSTANTIATE_TEST_SUITE_P(
    Answers, ProbeBootModeTest,
    ::testing::Values(ProbeCase{"Answered", false, Arrivals{{0, {0xAA}}}, BootModeProbe::kAnswered, 0},
                      ProbeCase{"AnsweredLate", false, Arrivals{{400, {0xAA}}}, BootModeProbe::kAnswered, 400},
                      ProbeCase{"QuietLineTooLate", false, Arrivals{{700, {0xAA}}}, BootModeProbe::kSilent, 500},
                      ProbeCase{"Silent", false, {}, BootModeProbe::kSilent, 500},
                      ProbeCase{"WrongAnswer", false, Arrivals{{0, {0x3F}}}, BootModeProbe::kOther, 3500},
                      ProbeCase{"WrongByteThenLateAnswer", false, Arrivals{{100, {0x3F}}, {1200, {0xAA}}},
                                BootModeProbe::kAnswered, 1200},
                      ProbeCase{"EchoingChipAt1200", true, Arrivals{{1200, {0xAA}}}, BootModeProbe::kAnswered, 1200},
                      ProbeCase{"EchoingChipAt3300", true, Arrivals{{3300, {0xAA}}}, BootModeProbe::kAnswered, 3300},
                      ProbeCase{"EchoingChipTooLate", true, Arrivals{{3600, {0xAA}}}, BootModeProbe::kOther, 3500},
                      ProbeCase{"EchoingChipNeverAnswers", true, {}, BootModeProbe::kOther, 3500},
                      ProbeCase{"EchoAndAnswerInOneRead", false, Arrivals{{0, {0x55, 0xAA}}}, BootModeProbe::kAnswered,
                                0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
