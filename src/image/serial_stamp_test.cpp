#include "image/serial_stamp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

struct FormatCase {
  const char* text;
  std::uint64_t number;
  std::vector<std::uint8_t> bytes;  // empty: the number does not fit
};

class StampFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(StampFormatTest, WritesTheNumberInItsFormat) {
  const auto stamp = ParseSerialStamp(GetParam().text);
  ASSERT_TRUE(stamp);
  const auto bytes = StampBytes(*stamp, GetParam().number);
  if (GetParam().bytes.empty()) {
    EXPECT_FALSE(bytes);
  } else {
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, GetParam().bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, StampFormatTest,
    ::testing::Values(FormatCase{"0x3FF00:be32", 0x01020304, {1, 2, 3, 4}},
                      FormatCase{"0x3FF00:le32", 0x01020304, {4, 3, 2, 1}},
                      FormatCase{"0x3FF00:be32", 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
                      FormatCase{"0x3FF00:be32", 0x100000000, {}},
                      FormatCase{"0x3FF00:be16", 1000, {0x03, 0xE8}},
                      FormatCase{"0x3FF00:le16", 1000, {0xE8, 0x03}},
                      FormatCase{"0x3FF00:le16", 65536, {}},
                      FormatCase{"261888:dec:6", 1000, {'0', '0', '1', '0', '0', '0'}},
                      FormatCase{"0x3FF00:dec:1", 9, {'9'}},
                      FormatCase{"0x3FF00:dec:3", 1000, {}},
                      FormatCase{"0x3FF00:dec:16", 9999999999999999, std::vector<std::uint8_t>(16, '9')}));

TEST(ParseSerialStampTest, RefusesWhatIsNotAStamp) {
  for (const char* text : {"", "0x3FF00", "0x3FF00:be24", "0x3FF00:dec:0", "0x3FF00:dec:17", "0x3FF00:dec:",
                           "zz:be32", "-4:be32", "0x3FF00:BE32", "0x3FF00:dec:0x4"}) {
    EXPECT_FALSE(ParseSerialStamp(text)) << text;
  }
}

struct ValueCase {
  const char* stamp;
  const char* value;
  std::vector<std::uint8_t> bytes;  // empty: the value is not one the format holds
};

class ValueStampTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueStampTest, WritesTheValueInItsFormat) {
  const auto stamp = ParseValueStamp(GetParam().stamp);
  ASSERT_TRUE(stamp) << GetParam().stamp;
  const auto bytes = ValueBytes(*stamp, GetParam().value);
  if (GetParam().bytes.empty()) {
    EXPECT_FALSE(bytes) << GetParam().value;
  } else {
    ASSERT_TRUE(bytes) << GetParam().value;
    EXPECT_EQ(*bytes, GetParam().bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ValueStampTest,
    ::testing::Values(ValueCase{"0x3FF00:mac", "00:1A:2b:3C:4d:5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
                      ValueCase{"0x3FF00:mac", "00-1a-2b-3c-4d-5e", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
                      ValueCase{"0x3FF00:mac", "001a2b3c4d5e", {}},
                      ValueCase{"0x3FF00:mac", "00:1a:2b:3c:4d", {}},
                      ValueCase{"0x3FF00:mac", "00:1a-2b:3c:4d:5e", {}},
                      ValueCase{"0x3FF00:mac", "00:1a:2b:3c:4d:5g", {}},
                      ValueCase{"0x3FF00:hex:4", "DEADbeef", {0xDE, 0xAD, 0xBE, 0xEF}},
                      ValueCase{"0x3FF00:hex:3", "01 02 03", {1, 2, 3}},
                      ValueCase{"0x3FF00:hex:4", "DEADBE", {}},
                      ValueCase{"0x3FF00:hex:2", "0x1234", {}},
                      ValueCase{"0x3FF00:hex:2", "123", {}},
                      ValueCase{"0x3FF00:ascii:6", "K-12", {'K', '-', '1', '2', 0, 0}},
                      ValueCase{"0x3FF00:ascii:3", "K-12", {}},
                      ValueCase{"0x3FF00:ascii:8", "caf\xC3\xA9", {}},
                      ValueCase{"0x3FF00:be32", "1000", {0, 0, 0x03, 0xE8}},
                      ValueCase{"0x3FF00:le32", "0x01020304", {4, 3, 2, 1}},
                      ValueCase{"0x3FF00:be32", "4294967296", {}},
                      ValueCase{"0x3FF00:be32", "12ab", {}}));

TEST(ParseValueStampTest, RefusesWhatIsNotAValueStamp) {
  for (const char* text : {"0x3FF00", "0x3FF00:dec:6", "0x3FF00:be16", "0x3FF00:hex:0", "0x3FF00:hex:65",
                           "0x3FF00:ascii:", "0x3FF00:MAC", "zz:mac"}) {
    EXPECT_FALSE(ParseValueStamp(text)) << text;
  }
}

TEST(StampBytesIntoTest, AValueLandsAtItsAddressAndIsSent) {
  FlashImage image;
  const auto stamp = ParseValueStamp("0x3FF80:mac");
  ASSERT_TRUE(stamp);
  const auto bytes = ValueBytes(*stamp, "02:00:00:00:00:2a");
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(StampBytesInto(image, *stamp, *bytes));
  const BlockImage& block = image[11];
  EXPECT_EQ(block.Bytes[0x3FF80 - block.Base + 5], 0x2A);
  EXPECT_GE(block.UsedLength, 0x3FF86 - block.Base);
  const std::vector<std::uint8_t> short_of{1, 2};
  EXPECT_FALSE(StampBytesInto(image, *stamp, short_of));
}

FlashImage ImageWith(std::int32_t address, std::vector<std::uint8_t> data) {
  FlashImage image;
  for (std::size_t i = 0; i < image.size(); ++i) image[i].Allocate(FlashBlockTable[i].base, FlashBlockTable[i].size);
  for (auto& block : image) {
    if (address >= block.Base && address < block.Base + block.Size) {
      block.Store(address, data);
      block.RoundUsedLength();
    }
  }
  return image;
}

TEST(StampImageTest, AnUntouchedBlockIsSentWithTheStampAndItsChecksumFollows) {
  FlashImage image = ImageWith(0x0000, {0x12, 0x34});
  const auto stamp = ParseSerialStamp("0x3FF82:be32");
  ASSERT_TRUE(stamp);
  ASSERT_EQ(CheckSerialStamp(image, *stamp).kind, StampCheck::Kind::kFits);
  const std::uint8_t before = BlockChecksum(image[0]);
  ASSERT_TRUE(StampImage(image, *stamp, 0x0A0B0C0D));
  const BlockImage& last = image[11];
  // A block goes out from its start: up to the end of the stamp's chunk, the last one.
  EXPECT_EQ(last.UsedLength, 0x10000);
  EXPECT_EQ(last.Bytes[0xFF82], 0x0A);
  EXPECT_EQ(last.Bytes[0xFF85], 0x0D);
  unsigned sum = 0;
  for (std::uint8_t byte : UsedBytes(last)) sum += byte;
  EXPECT_EQ(BlockChecksum(last), static_cast<std::uint8_t>(0xFF - (sum & 0xFF)));
  EXPECT_EQ(BlockChecksum(image[0]), before);
  EXPECT_EQ(PlaceOf(*stamp).block, 11);
  EXPECT_EQ(PlaceOf(*stamp).chunk, 0x1FF);
}

TEST(StampImageTest, AStampAcrossTwoBlocksLandsInBoth) {
  FlashImage image = ImageWith(0x0000, {0x12});
  const auto stamp = ParseSerialStamp("0x0FFE:be32");
  ASSERT_TRUE(stamp);
  ASSERT_TRUE(StampImage(image, *stamp, 0x01020304));
  EXPECT_EQ(image[0].UsedLength, 0x1000);
  EXPECT_EQ(image[0].Bytes[0xFFE], 0x01);
  EXPECT_EQ(image[1].UsedLength, 0x80);
  EXPECT_EQ(image[1].Bytes[1], 0x04);
}

TEST(CheckSerialStampTest, SaysWhatTheImageHoldsWhereTheStampWouldGo) {
  const FlashImage image = ImageWith(0x3FF00, {0xFF, 0x00, 0x5A});
  const auto over = CheckSerialStamp(image, *ParseSerialStamp("0x3FF00:be32"));
  EXPECT_EQ(over.kind, StampCheck::Kind::kOverData);
  EXPECT_EQ(over.held, (std::vector<std::uint8_t>{0xFF, 0x00, 0x5A, 0xFF}));
  EXPECT_EQ(CheckSerialStamp(image, *ParseSerialStamp("0x3FF03:be32")).kind, StampCheck::Kind::kFits);
  EXPECT_EQ(CheckSerialStamp(image, *ParseSerialStamp("0x3FFFE:be32")).kind, StampCheck::Kind::kOutsideFlash);
  EXPECT_EQ(CheckSerialStamp(image, *ParseSerialStamp("0x3FFFC:be32")).kind, StampCheck::Kind::kFits);
}

}  // namespace
}  // namespace quillon
