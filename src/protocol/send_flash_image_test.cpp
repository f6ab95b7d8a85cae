#include "testing/protocol_fixture.h"
#include "testing/fake_device.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::ProtocolTest;
using Bytes = testing::FakeCommDriver::Bytes;
using testing::FlashDevice;

FlashImage ImageWith(std::initializer_list<std::pair<int, std::int32_t>> used) {
  FlashImage image;
  for (int i = 0; i < kFlashBlockCount; ++i) image[i].Allocate(FlashBlockTable[i].base, FlashBlockTable[i].size);
  for (auto [index, length] : used) image[index].UsedLength = length;
  return image;
}

class SendFlashImageTest : public ProtocolTest {
 protected:
  bool Run(const FlashImage& image, int send_wait = 0) {
    device_.Attach(driver_);
    return protocol_.SendFlashImage(image, send_wait);
  }
  FlashDevice device_;
};

TEST_F(SendFlashImageTest, Block8WithTwoChunks) {
  auto image = ImageWith({{8, 0x100}});
  std::fill_n(image[8].Bytes.begin(), 3, 0);
  image[8].Bytes[0] = 1, image[8].Bytes[1] = 2, image[8].Bytes[2] = 3;
  ASSERT_TRUE(Run(image));
  const Bytes expected_header{0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00};
  EXPECT_EQ(device_.header, expected_header);
  std::vector<Bytes> expected{{0x57}, {0x00}};
  for (auto b : expected_header) expected.push_back({b});
  expected.push_back({0x11});
  expected.emplace_back(image[8].Bytes.begin(), image[8].Bytes.begin() + 128);
  expected.push_back({0x11});
  expected.emplace_back(image[8].Bytes.begin() + 128, image[8].Bytes.begin() + 256);
  expected.push_back({0x11});
  expected.push_back({BlockChecksum(image[8])});
  expected.push_back({0x43});
  EXPECT_EQ(driver_.writes, expected);
  EXPECT_THAT(progress_.calls, ElementsAre("text:バージョンアップデータを転送中です。/2", "show", "step", "step", "close"));
  EXPECT_TRUE(Records().empty());
}

TEST_F(SendFlashImageTest, EmptyImageSendsOnlyTheClosingCommand) {
  ASSERT_TRUE(Run(ImageWith({})));
  EXPECT_EQ(driver_.writes, std::vector<Bytes>{{0x43}});
  EXPECT_THAT(progress_.calls, ElementsAre("text:バージョンアップデータを転送中です。/0", "show", "close"));
}

TEST_F(SendFlashImageTest, BlocksGoInTableOrder) {
  ASSERT_TRUE(Run(ImageWith({{11, 128}, {0, 128}, {9, 256}})));
  std::vector<Bytes> headers;
  for (std::size_t i = 0; i + 1 < driver_.writes.size(); ++i) {
    if (driver_.writes[i] == Bytes{0x57}) headers.push_back(driver_.writes[i + 4]);  // third base byte
  }
  EXPECT_EQ(headers, (std::vector<Bytes>{{0x00}, {0x00}, {0x00}}));
  EXPECT_EQ(progress_.Steps(), 4);
}

struct PacingCase {
  int send_wait;
  int pauses_of_send_wait;
};

class SendWaitTest : public SendFlashImageTest, public ::testing::WithParamInterface<PacingCase> {};

TEST_P(SendWaitTest, PausesAfterEveryChunkAndBlockFromFiveMs) {
  ASSERT_TRUE(Run(ImageWith({{0, 256}, {1, 128}}), GetParam().send_wait));
  EXPECT_EQ(CountPauses(GetParam().send_wait), GetParam().pauses_of_send_wait);
}

INSTANTIATE_TEST_SUITE_P(Waits, SendWaitTest,
                         ::testing::Values(PacingCase{0, 0}, PacingCase{4, 0}, PacingCase{-5, 0},
                                           PacingCase{10, 3 + 2}));

TEST_F(SendFlashImageTest, SendWaitOfFiveAlsoPauses) {
  ASSERT_TRUE(Run(ImageWith({{0, 256}}), 5));
  // 5 ms is also the poll pause; the device here answers without any empty read.
  EXPECT_EQ(CountPauses(5), 2 + 1);
}

struct FlashFailure {
  const char* name;
  std::function<void(FlashDevice&, testing::FakeCommDriver&)> script;
  bool result;
  std::vector<std::string> records;
};

class SendFlashFailureTest : public SendFlashImageTest, public ::testing::WithParamInterface<FlashFailure> {};

TEST_P(SendFlashFailureTest, EndsWithTheRightRecordAndTheWindowClosed) {
  GetParam().script(device_, driver_);
  device_.Attach(driver_);
  EXPECT_EQ(protocol_.SendFlashImage(ImageWith({{2, 256}}), 0), GetParam().result);
  EXPECT_EQ(Records(), GetParam().records);
  EXPECT_EQ(progress_.calls.back(), "close");
}

auto FailWrite(int n) {
  return [n](FlashDevice&, testing::FakeCommDriver& d) {
    d.write_count = [n, count = 0](auto bytes) mutable { return ++count == n ? std::size_t{0} : bytes.size(); };
  };
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SendFlashFailureTest,
    ::testing::Values(
        FlashFailure{"block_command_write", FailWrite(1), false, {""}},
        FlashFailure{"block_command_zero_write", FailWrite(2), false, {""}},
        FlashFailure{"no_block_ack", [](auto& dev, auto&) { dev.block_ack = {}; }, false, {""}},
        FlashFailure{"junk_before_block_ack", [](auto& dev, auto&) { dev.block_ack = {{0x00, 0x06}}; }, false, {""}},
        FlashFailure{"late_block_ack", [](auto& dev, auto&) { dev.block_ack = {{0x00}, {}, {0x06}}; }, true, {}},
        FlashFailure{"header_write", FailWrite(5), false, {""}},
        FlashFailure{"no_ready", [](auto& dev, auto&) { dev.ready = {}; }, false, {""}},
        FlashFailure{"host_ready_write", FailWrite(11), false, {""}},
        FlashFailure{"chunk_write", FailWrite(12), false, {""}},
        FlashFailure{"chunk_write_short",
                     [](auto&, auto& d) { d.write_count = [](auto b) { return b.size() == 128 ? std::size_t{100} : b.size(); }; },
                     false, {""}},
        FlashFailure{"silent_after_chunk_1", [](auto& dev, auto&) { dev.silent_after_chunk = 1; }, false, {""}},
        FlashFailure{"any_chunk_answer_will_do", [](auto& dev, auto&) { dev.chunk_answer = {0xEE, 0xEE}; }, true, {}},
        FlashFailure{"ready_after_chunk_write", FailWrite(13), false, {""}},
        FlashFailure{"checksum_write", FailWrite(16), false, {""}},
        FlashFailure{"no_checksum_ack", [](auto& dev, auto&) { dev.checksum_ack = {}; }, false, {""}},
        FlashFailure{"closing_write", FailWrite(17), false, {""}},
        FlashFailure{"closing_three_then_one", [](auto& dev, auto&) { dev.closing = {{1, 2, 3}, {}, {4}}; }, true, {}},
        FlashFailure{"closing_three_then_two", [](auto& dev, auto&) { dev.closing = {{1, 2, 3}, {4, 5}}; }, false, {""}},
        FlashFailure{"closing_five_at_once", [](auto& dev, auto&) { dev.closing = {{1, 2, 3, 4, 5}}; }, false, {""}},
        FlashFailure{"closing_three_then_silence", [](auto& dev, auto&) { dev.closing = {{1, 2, 3}}; }, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendFlashImageTest, ReadErrorWhileAwaitingAChunkAnswerOrTheClosingReply) {
  device_.Attach(driver_);
  auto on_write = driver_.on_write;
  driver_.on_write = [&, on_write](std::span<const std::uint8_t> bytes) {
    on_write(bytes);
    if (bytes.size() == 1 && bytes[0] == 0x43) driver_.pending_errors = kCeFrame;
  };
  EXPECT_FALSE(protocol_.SendFlashImage(ImageWith({{2, 128}}), 0));
  EXPECT_THAT(Records(), ElementsAre(" ReadCom() :Error Code = 8", ""));
}

TEST_F(SendFlashImageTest, ChecksumCoversTheFillBytes) {
  auto image = ImageWith({{3, 128}});
  ASSERT_TRUE(Run(image));
  EXPECT_EQ(device_.checksums, std::vector<std::uint8_t>{0x7F});
}

}  // namespace
}  // namespace quillon
