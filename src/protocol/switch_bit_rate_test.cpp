#include "testing/protocol_fixture.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::ProtocolTest;
using Bytes = testing::FakeCommDriver::Bytes;

TEST(BitRateCommandTest, CarriesTheRateBigEndian) {
  EXPECT_THAT(BitRateCommand(115200),
              ElementsAre(0x53, 0x00, 0x01, 0xC2, 0x00, 0x00, 0x00, 0x56, 0x66, 0x01, 0x00, 0x01));
  EXPECT_THAT(BitRateCommand(19200),
              ElementsAre(0x53, 0x00, 0x00, 0x4B, 0x00, 0x00, 0x00, 0x56, 0x66, 0x01, 0x00, 0x01));
}

struct SwitchCase {
  const char* name;
  std::int32_t rate;
  std::vector<Bytes> first_replies;   // arrivals after the command
  std::vector<Bytes> second_replies;  // arrivals after the 0x06 at the new rate
  bool refuse_rate;
  bool result;
  std::vector<std::string> records;
  std::uint32_t port_rate_after;
};

class SwitchBitRateTest : public ProtocolTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchBitRateTest, HandshakeResultRecordsAndPortRate) {
  const auto& c = GetParam();
  if (c.refuse_rate) driver_.accept_state = [](const LineSettings& s) { return s.BaudRate == 19200; };
  driver_.on_write = [&](std::span<const std::uint8_t> bytes) {
    for (const auto& r : bytes.size() == 12 ? c.first_replies : c.second_replies) Reply(r);
  };
  EXPECT_EQ(protocol_.SwitchBitRate(c.rate), c.result);
  EXPECT_EQ(Records(), c.records);
  EXPECT_EQ(driver_.state.BaudRate, c.port_rate_after);
  EXPECT_EQ(pause_.pauses.front(), 50);
  ASSERT_FALSE(driver_.writes.empty());
  const auto command = BitRateCommand(c.rate);
  EXPECT_EQ(driver_.writes[0], Bytes(command.begin(), command.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SwitchBitRateTest,
    ::testing::Values(
        SwitchCase{"ok_115200", 115200, {{0x06}}, {{0x06}}, false, true, {}, 115200},
        SwitchCase{"ok_19200", 19200, {{0x06}}, {{0x06}}, false, true, {}, 19200},
        SwitchCase{"unsupported_rate_sent_unchanged", 12345, {{0x06}}, {{0x06}}, false, true, {}, 19200},
        SwitchCase{"ack_with_more_bytes", 57600, {{0x06, 0x99}}, {{0x06}}, false, true, {}, 57600},
        SwitchCase{"ack_after_silence", 57600, {{}, {}, {0x06}}, {{0x06}}, false, true, {}, 57600},
        SwitchCase{"nak", 115200, {{0x15}}, {}, false, false, {"Ack Error"}, 19200},
        SwitchCase{"junk_before_ack", 115200, {{0x00, 0x06}}, {}, false, false, {"Ack Error"}, 19200},
        SwitchCase{"no_answer_to_command", 115200, {}, {}, false, false, {"Ack Error"}, 19200},
        SwitchCase{"rate_refused", 115200, {{0x06}}, {}, true, false, {"SetCommState() Error Baudrate = 115200"}, 19200},
        SwitchCase{"no_answer_at_new_rate", 115200, {{0x06}}, {}, false, false, {""}, 115200},
        SwitchCase{"wrong_answer_at_new_rate", 115200, {{0x06}}, {{0x15}}, false, false, {}, 115200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, BitRateCommandWriteFailureAndReadErrors) {
  driver_.write_count = [](auto) { return std::size_t{0}; };
  EXPECT_FALSE(protocol_.SwitchBitRate(115200));
  EXPECT_THAT(Records(), ElementsAre(""));
}

TEST_F(ProtocolTest, ReadErrorDoesNotEndTheShortPoll) {
  // A passing line error is logged by the port and the poll goes on to the real answer.
  driver_.on_write = [&](std::span<const std::uint8_t>) {
    driver_.pending_errors = kCeOverrun;
    Reply({});
    Reply({0x06});
  };
  EXPECT_TRUE(protocol_.SwitchBitRate(38400));
  EXPECT_THAT(Records(), ElementsAre(" ReadCom() :Error Code = 2", " ReadCom() :Error Code = 2"));
}

}  // namespace
}  // namespace quillon
