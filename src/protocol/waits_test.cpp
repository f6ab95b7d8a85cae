// How the waits of the protocol spend time: an answer is taken at the millisecond it arrives,
// a silent device still gets 700 reads over 3.5 s, and a line that is gone ends a wait at once.

#include <map>

#include "testing/protocol_fixture.h"
#include "testing/fake_device.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::ProtocolTest;
using Bytes = testing::FakeCommDriver::Bytes;

const std::string kReadFailed = " ReadCom() : ReadFile() Error";

FlashImage OneChunkImage() {
  FlashImage image;
  for (int i = 0; i < kFlashBlockCount; ++i) image[i].Allocate(FlashBlockTable[i].base, FlashBlockTable[i].size);
  image[4].UsedLength = kChunkSize;
  return image;
}

// The bit-rate handshake and a one-chunk transfer, with every answer `delay` ms after the
// write it answers. Writes: 0 command, 1 ACK, 2-3 block command, 4-11 header, 12 ready,
// 13 chunk, 14 ready, 15 checksum, 16 closing command.
class WakeUpTest : public ProtocolTest, public ::testing::WithParamInterface<long long> {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    const std::map<std::size_t, Bytes> answers{{0, {0x06}}, {1, {0x06}},  {3, {0x06}},  {11, {0x11}},
                                               {13, {0x15}}, {15, {0x06}}, {16, {1, 2, 3, 4}}};
    driver_.on_write = [this, answers](std::span<const std::uint8_t>) {
      if (auto it = answers.find(driver_.writes.size() - 1); it != answers.end()) driver_.ArriveIn(GetParam(), it->second);
    };
  }
  bool Run() { return protocol_.SwitchBitRate(115200) && protocol_.SendFlashImage(OneChunkImage(), 0); }
  long long Gap(std::size_t answered, std::size_t next) const {
    return driver_.write_times.at(next) - driver_.write_times.at(answered);
  }
};

TEST_P(WakeUpTest, EveryAnswerIsTakenAtTheMillisecondItArrives) {
  const long long delay = GetParam();
  ASSERT_TRUE(Run());
  // Short poll, the two WaitForByte, the chunk's answer, the checksum's ACK, the closing reply.
  EXPECT_EQ(Gap(0, 1), delay);
  EXPECT_EQ(Gap(3, 4), delay);
  EXPECT_EQ(Gap(11, 12), delay);
  EXPECT_EQ(Gap(13, 14), delay);
  EXPECT_EQ(Gap(15, 16), delay);
  EXPECT_EQ(pause_.now_ms - driver_.write_times.at(16), delay);
  EXPECT_TRUE(Records().empty());
}

// The last read of a poll is at 3495 ms; an answer later than that is missed, as before.
INSTANTIATE_TEST_SUITE_P(Delays, WakeUpTest, ::testing::Values(0, 1, 4, 5, 7, 3495));

TEST_F(ProtocolTest, AnAnswerAfterTheLastReadOfAPollIsMissed) {
  driver_.on_write = [&](std::span<const std::uint8_t>) { driver_.ArriveIn(3496, {0x06}); };
  EXPECT_FALSE(protocol_.SwitchBitRate(115200));
  EXPECT_THAT(Records(), ElementsAre("Ack Error"));
  EXPECT_EQ(driver_.queries, 700);
  // The last wait wakes on the late answer, but no read is left to take it.
  EXPECT_EQ(pause_.now_ms, 50 + 3496);
}

struct SilentCase {
  const char* name;
  std::function<bool(DeviceProtocol&)> run;
  std::function<void(testing::FakeCommDriver&)> device;
  std::vector<std::string> records;
};

void PrintTo(const SilentCase& c, std::ostream* os) { *os << c.name; }

class SilentDeviceTest : public ProtocolTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentDeviceTest, GetsExactly700ReadsOver3500Ms) {
  GetParam().device(driver_);
  long long silent_from = -1;
  int queries_at = 0;
  // The device falls silent after its last scripted answer: measure from there.
  driver_.on_query = [&] {
    if (silent_from < 0 && driver_.arrivals.empty() && driver_.incoming.empty()) {
      silent_from = pause_.now_ms;
      queries_at = driver_.queries - 1;
    }
  };
  EXPECT_FALSE(GetParam().run(protocol_));
  EXPECT_EQ(driver_.queries - queries_at, 700);
  EXPECT_EQ(pause_.now_ms - silent_from, 3500);
  EXPECT_EQ(Records(), GetParam().records);
}

auto Answers(std::map<std::size_t, Bytes> answers) {
  return [answers](testing::FakeCommDriver& driver) {
    driver.on_write = [&driver, answers](std::span<const std::uint8_t>) {
      if (auto it = answers.find(driver.writes.size() - 1); it != answers.end()) driver.arrivals.push_back(it->second);
    };
  };
}

const auto kHandshakeAndTransfer = [](DeviceProtocol& p) {
  return p.SwitchBitRate(115200) && p.SendFlashImage(OneChunkImage(), 0);
};

INSTANTIATE_TEST_SUITE_P(
    Waits, SilentDeviceTest,
    ::testing::Values(
        SilentCase{"bit_rate_ack", kHandshakeAndTransfer, Answers({}), {"Ack Error"}},
        SilentCase{"new_rate_ack", kHandshakeAndTransfer, Answers({{0, {0x06}}}), {""}},
        SilentCase{"block_ack", kHandshakeAndTransfer, Answers({{0, {0x06}}, {1, {0x06}}}), {""}},
        SilentCase{"chunk_answer", kHandshakeAndTransfer,
                   Answers({{0, {0x06}}, {1, {0x06}}, {3, {0x06}}, {11, {0x11}}}), {""}},
        SilentCase{"closing_reply", kHandshakeAndTransfer,
                   Answers({{0, {0x06}}, {1, {0x06}}, {3, {0x06}}, {11, {0x11}}, {13, {0x15}}, {15, {0x06}}}), {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A device that floods the line: every read finds bytes, but never the answer. Each of the
// 700 reads is still followed by 5 ms, so the wait lasts its 3.5 s.
struct FloodCase {
  const char* name;
  std::function<void(testing::FakeCommDriver&)> flood;
  std::function<bool(DeviceProtocol&)> run;
  long long duration_ms;
  std::string last_record;  ///< empty: no record at all
};

void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.name; }

class FloodTest : public ProtocolTest, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(FloodTest, EveryReadIsStillPaced) {
  const auto& c = GetParam();
  c.flood(driver_);
  EXPECT_FALSE(c.run(protocol_));
  EXPECT_EQ(driver_.queries, 700);
  EXPECT_EQ(pause_.now_ms, c.duration_ms);
  const auto records = Records();
  if (c.last_record.empty()) {
    EXPECT_TRUE(records.empty());
  } else {
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back(), c.last_record);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, FloodTest,
    ::testing::Values(
        // More than the read's 32 bytes, all dropped for a parity error: bytes stay queued.
        FloodCase{"parity_errors_beyond_the_buffer",
                  [](testing::FakeCommDriver& d) {
                    d.on_query = [&d] {
                      d.pending_errors = kCeRxParity;
                      d.incoming.assign(40, 0x00);
                    };
                  },
                  [](DeviceProtocol& p) { return p.SwitchBitRate(115200); }, 50 + 3500, "Ack Error"},
        // A byte every millisecond, never the awaited acknowledgement.
        FloodCase{"junk_instead_of_the_ack",
                  [](testing::FakeCommDriver& d) {
                    for (long long ms = 0; ms <= 4000; ++ms) d.ArriveAt(ms, {0x00});
                  },
                  [](DeviceProtocol& p) { return p.WaitForByte(0x06, 700, 5); }, 3500, ""},
        // Sparse junk wakes a wait early; the read it wakes still owns only its own slot, so
        // the next read never starts a slot before the last one has ended.
        FloodCase{"junk_every_3_ms",
                  [](testing::FakeCommDriver& d) {
                    for (long long ms = 1; ms <= 4000; ms += 3) d.ArriveAt(ms, {0x00});
                  },
                  [](DeviceProtocol& p) { return p.WaitForByte(0x06, 700, 5); }, 3500, ""},
        FloodCase{"junk_every_7_ms",
                  [](testing::FakeCommDriver& d) {
                    for (long long ms = 2; ms <= 4000; ms += 7) d.ArriveAt(ms, {0x00});
                  },
                  [](DeviceProtocol& p) { return p.WaitForByte(0x06, 700, 5); }, 3500, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A short write is a failed write: nothing more goes to a device that waits for the rest.
class ShortWriteTest : public ProtocolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ShortWriteTest, NothingIsSentOrAwaitedAfterIt) {
  const bool boot = GetParam();
  testing::UpdateDevice device;
  const testing::Bytes program(300, 0x5A);
  device.Attach(driver_, program.size());
  driver_.write_count = [](auto bytes) { return bytes.size() == 128 ? std::size_t{100} : bytes.size(); };
  int queries_at_short = -1;
  auto play = driver_.on_write;
  driver_.on_write = [&, play](std::span<const std::uint8_t> bytes) {
    play(bytes);
    if (bytes.size() == 100) queries_at_short = driver_.queries;
  };
  if (boot) {
    EXPECT_FALSE(protocol_.SendBoot(program));
  } else {
    device.stage = 3;
    EXPECT_FALSE(protocol_.SendFlashImage(OneChunkImage(), 0));
  }
  ASSERT_FALSE(driver_.writes.empty());
  EXPECT_EQ(driver_.writes.back().size(), 100u);
  EXPECT_EQ(driver_.queries, queries_at_short);
  EXPECT_THAT(Records(), ElementsAre(""));
}

INSTANTIATE_TEST_SUITE_P(Chunks, ShortWriteTest, ::testing::Values(true, false),
                         [](const auto& info) { return std::string(info.param ? "boot" : "flash"); });

TEST_F(ProtocolTest, BytesLeftQueuedBehindALineErrorArePacedNotBurnt) {
  // A line that flags every read while a byte sits in the queue: each read returns -1 and
  // leaves the byte there, so a wait for input would return at once.
  driver_.on_write = [&](std::span<const std::uint8_t>) {
    driver_.sticky_errors = kCeFrame;
    driver_.incoming = {0x06};
  };
  EXPECT_FALSE(protocol_.SwitchBitRate(115200));
  EXPECT_EQ(driver_.queries, 700);
  EXPECT_EQ(CountPauses(5), 700);
  EXPECT_EQ(pause_.now_ms, 50 + 3500);
  const auto records = Records();
  ASSERT_EQ(records.size(), 701u);
  EXPECT_EQ(records.front(), " ReadCom() :Error Code = 8");
  EXPECT_EQ(records.back(), "Ack Error");
}

// A whole conversation (a two-byte boot program, the handshake, one chunk) in which the line
// goes away at one point. Writes: 0-10 start bytes, 11-12 size, 13 program, 14 bit-rate
// command, 15 ACK, 16-17 block command, 18-25 header, 26 ready, 27 chunk, 28 ready,
// 29 checksum, 30 closing command.
struct GoneCase {
  const char* name;
  std::size_t at_write;
  int reads_after = 0;  ///< reads that still find the line after that write
  std::vector<std::string> records;
};

void PrintTo(const GoneCase& c, std::ostream* os) { *os << c.name; }

class LineGoneTest : public ProtocolTest, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(LineGoneTest, TheWaitEndsAtOnceWithOneRecordOfTheRead) {
  testing::UpdateDevice device;
  device.Attach(driver_, 2);
  int queries_when_gone = -1;
  std::size_t waits_when_gone = 0;
  long long gone_at = -1;
  auto vanish = [&](int queries_before) {
    driver_.line_gone = true;
    queries_when_gone = queries_before;
    waits_when_gone = driver_.waits.size();
    gone_at = pause_.now_ms;
  };
  int reads_left = -1;
  auto play = driver_.on_write;
  driver_.on_write = [&, play](std::span<const std::uint8_t> bytes) {
    play(bytes);
    if (driver_.writes.size() - 1 != GetParam().at_write) return;
    reads_left = GetParam().reads_after;
    if (reads_left == 0) vanish(driver_.queries);
  };
  driver_.on_query = [&] {
    if (reads_left > 0 && --reads_left == 0) reads_left = -2;
    else if (reads_left == -2) vanish(driver_.queries - 1), reads_left = -1;
  };
  const Bytes boot{0x12, 0x34};
  const bool ok = protocol_.SendBoot(boot) && protocol_.SwitchBitRate(115200) &&
                  protocol_.SendFlashImage(OneChunkImage(), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Records(), GetParam().records);
  ASSERT_GE(queries_when_gone, 0);
  // One read finds the line gone; nothing is read, waited for or sent after it.
  EXPECT_EQ(driver_.queries - queries_when_gone, 1);
  EXPECT_EQ(driver_.waits.size(), waits_when_gone);
  EXPECT_EQ(driver_.writes.size(), GetParam().at_write + 1);
  // At most the pause before the boot download's read lies between the loss and the end.
  EXPECT_LE(pause_.now_ms - gone_at, 128);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, LineGoneTest,
    ::testing::Values(GoneCase{"start_answer", 10, 0, {kReadFailed, ""}},
                      GoneCase{"size_echo", 11, 0, {kReadFailed, ""}},
                      GoneCase{"program_echo", 13, 0, {kReadFailed, ""}},
                      GoneCase{"final_answer", 13, 1, {kReadFailed, ""}},
                      GoneCase{"bit_rate_ack", 14, 0, {kReadFailed, "Ack Error"}},
                      GoneCase{"new_rate_ack", 15, 0, {kReadFailed, ""}},
                      GoneCase{"block_ack", 17, 0, {kReadFailed, ""}},
                      GoneCase{"ready", 25, 0, {kReadFailed, ""}},
                      GoneCase{"chunk_answer", 27, 0, {kReadFailed, ""}},
                      GoneCase{"checksum_ack", 29, 0, {kReadFailed, ""}},
                      GoneCase{"closing_reply", 30, 0, {kReadFailed, ""}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
