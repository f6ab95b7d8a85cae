#include "image/srecord.h"
#include "image/flash_image.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "testing/srecord_text.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

// A well-formed record of any type from its address bytes and data bytes.
std::string Record(char type, std::vector<int> address, std::vector<int> data) {
  std::uint32_t value = 0;
  for (int b : address) value = (value << 8) | static_cast<std::uint32_t>(b);
  const std::vector<std::uint8_t> bytes(data.begin(), data.end());
  return testing::SRecordLine(type, value, bytes, static_cast<int>(address.size()));
}

struct DecodeCase {
  const char* name;
  std::string text;
  int result;
  std::vector<std::uint8_t> bytes;
};

class DecodeSRecordsTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeSRecordsTest, GivesTheBytesOrTheFault) {
  const auto& c = GetParam();
  std::vector<std::uint8_t> out(c.text.size() + 1, 0xEE);
  const int r = SRecordReader().DecodeSRecords(c.text, out.data());
  ASSERT_EQ(r, c.result);
  if (r > 0) { EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + r), c.bytes); }
}

const std::string kAb12 = "S1050000AB123D\r\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, DecodeSRecordsTest,
    ::testing::Values(
        DecodeCase{"two_bytes", kAb12, 2, {0xAB, 0x12}},
        DecodeCase{"lower_case_hex", "S1050000ab123d\r\n", 2, {0xAB, 0x12}},
        DecodeCase{"wrong_checksum", "S1050000AB123E\r\n", -2, {}},
        DecodeCase{"boot_file_order_kept",
                   Record('0', {0, 0}, {'h', 'i'}) + Record('1', {0x20, 0}, {1, 2, 3}) +
                       Record('1', {0x10, 0}, {4}) + Record('2', {1, 0, 0}, {5}) +
                       Record('3', {0, 1, 0, 0}, {6}) + Record('9', {0, 0}, {}),
                   6, {1, 2, 3, 4, 5, 6}},
        DecodeCase{"s7_and_s8_pass", Record('7', {0, 0, 0, 0}, {}) + Record('8', {0, 0, 0}, {}), 0, {}},
        DecodeCase{"s5_anywhere", kAb12 + Record('5', {0, 1}, {}) + kAb12, -2, {}},
        DecodeCase{"type_not_a_digit", "SX050000AB123D\r\n", -2, {}},
        DecodeCase{"lower_case_s", "s1050000AB123D\r\n", -2, {}},
        DecodeCase{"empty_line_after_last", kAb12 + "\r\n", -2, {}},
        DecodeCase{"end_of_file_char_after_last", kAb12 + "\x1A", -2, {}},
        DecodeCase{"last_record_without_line_end", kAb12 + "S1050000AB123D", 4, {0xAB, 0x12, 0xAB, 0x12}},
        DecodeCase{"last_record_with_one_line_end_char", kAb12 + "S1050000AB123D\n", 4, {0xAB, 0x12, 0xAB, 0x12}},
        DecodeCase{"lf_only_line_ends", "S1050000AB123D\nS1050000AB123D\n", -2, {}},
        DecodeCase{"empty_text", "", 0, {}},
        DecodeCase{"only_s0_and_s9", Record('0', {0, 0}, {}) + Record('9', {0, 0}, {}), 0, {}},
        DecodeCase{"count_below_address_length", "S1020000FD\r\n", 0, {}},
        // A non-hex character whose pair happens to satisfy the checksum is still refused.
        DecodeCase{"non_hex_with_matching_checksum", "S1040000G00B\r\n", -2, {}},
        DecodeCase{"non_hex_in_count", "S1G50000AB123D\r\n", -2, {}},
        DecodeCase{"cut_short_in_data", "S1050000AB", -2, {}},
        DecodeCase{"cut_short_before_checksum", "S1050000AB12", -2, {}},
        DecodeCase{"cut_after_type", "S1", -2, {}},
        DecodeCase{"count_claims_more_than_text", "S1FF0000AB123D\r\n", -2, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeSRecordTest, ReportsLengthAddressAndCount) {
  const std::string text = Record('2', {0x01, 0x23, 0x45}, {9, 8, 7}) + kAb12;
  std::array<std::uint8_t, 256> data{};
  int count = -1;
  std::uint32_t address = 1;
  EXPECT_EQ(SRecordReader().DecodeSRecord(text, data, count, address), 20);
  EXPECT_EQ(address, 0x012345u);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(data[2], 7);
  // Termination records carry their first two address bytes and keep nothing.
  EXPECT_EQ(SRecordReader().DecodeSRecord(Record('8', {0x01, 0x00, 0x00}, {}), data, count, address), 14);
  EXPECT_EQ(address, 0x0100u);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(SRecordReader().DecodeSRecord("S1050000AB123E\r\n", data, count, address), -2);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(address, 0u);
}

TEST(HexTest, DigitsAndPairs) {
  EXPECT_EQ(HexDigit('7'), 7);
  EXPECT_EQ(HexDigit('f'), 15);
  EXPECT_EQ(HexDigit('G'), -1);
  EXPECT_EQ(HexPair("A5"), 0xA5);
  EXPECT_EQ(HexPair("G5"), -16 | 5);
  EXPECT_EQ(HexPair("5G"), -1);
}

struct BootCase {
  const char* name;
  std::string text;
  int result;
  bool bytes_present;
};

class LoadBootImageTest : public ::testing::TestWithParam<BootCase> {};

TEST_P(LoadBootImageTest, ResultAndBufferOwnership) {
  TempDir dir;
  const auto& c = GetParam();
  auto path = dir.Write("boot.sub", c.text);
  BootImage image;
  EXPECT_EQ(SRecordReader().LoadBootImage(path, image), c.result);
  EXPECT_EQ(image.Bytes != nullptr, c.bytes_present);
}

std::string LongBootText(int bytes) {
  std::string text;
  for (int at = 0; at < bytes; at += 32) {
    text += Record('1', {(at >> 8) & 0xFF, at & 0xFF}, std::vector<int>(std::min(32, bytes - at), 0x5A));
  }
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadBootImageTest,
    ::testing::Values(BootCase{"good", kAb12, 2, true}, BootCase{"empty", "", 0, true},
                      BootCase{"bad", "S1050000AB123E\r\n", -2, true},
                      BootCase{"largest_announceable", LongBootText(65535), 65535, true},
                      // The download announces the size in two bytes: a longer program
                      // would be announced wrongly, so it is refused as bad contents.
                      BootCase{"too_long_for_size_bytes", LongBootText(65536), -2, true}),
    [](const auto& info) { return std::string(info.param.name); });


TEST(LoadBootImageTest, MissingFileLeavesNoBuffer) {
  TempDir dir;
  BootImage image;
  EXPECT_EQ(SRecordReader().LoadBootImage(dir / "absent.sub", image), -1);
  EXPECT_EQ(image.Bytes, nullptr);
}

TEST(DiagnoseTest, SaysWhereAndWhy) {
  const std::string text = kAb12 + kAb12 + "S1050000AB123E\r\n";
  auto d = DiagnoseSRecords(text);
  EXPECT_EQ(d.fault, RecordFault::kBadChecksum);
  EXPECT_EQ(d.line, 3);
  EXPECT_EQ(d.record, 3);
  EXPECT_EQ(d.excerpt, "S1050000AB123E");
  EXPECT_FALSE(d.has_termination);

  auto good = DiagnoseSRecords(Record('3', {0, 4, 0, 0}, {1, 2}) + Record('9', {0, 0}, {}));
  EXPECT_EQ(good.fault, RecordFault::kNone);
  EXPECT_TRUE(good.has_termination);
  EXPECT_EQ(good.bytes_beyond_flash, 2);
  EXPECT_EQ(DiagnoseSRecords("S1040000G00B\r\n").fault, RecordFault::kNonHex);
  EXPECT_EQ(DiagnoseSRecords("S1050000AB").fault, RecordFault::kCutShort);
  EXPECT_EQ(DiagnoseSRecords("S4050000AB123D").fault, RecordFault::kBadType);
}

// info and image learn what is wrong with a file from the same pass that loads it: it must
// say what the separate diagnosis says.
class LoadWithDiagnosisTest : public ::testing::TestWithParam<std::string> {};

TEST_P(LoadWithDiagnosisTest, SaysWhatTheSeparateDiagnosisSays) {
  const std::string& text = GetParam();
  const auto alone = DiagnoseSRecords(text);
  SRecordDiagnosis d;
  FlashImage image;
  const int result = SRecordReader().LoadFlashImageText(image, text, &d);
  EXPECT_EQ(result, alone.fault == RecordFault::kNone ? 1 : -2);
  EXPECT_EQ(d.fault, alone.fault);
  EXPECT_EQ(d.line, alone.line);
  EXPECT_EQ(d.record, alone.record);
  EXPECT_EQ(d.excerpt, alone.excerpt);
  EXPECT_EQ(d.records, alone.records);
  EXPECT_EQ(d.has_termination, alone.has_termination);
  EXPECT_EQ(d.bytes_beyond_flash, alone.bytes_beyond_flash);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LoadWithDiagnosisTest,
    ::testing::Values("", "S1050000AB123D\r\nS9030000FC\r\n", "S1050000AB123D\r\nS1050000AB123D\r\nS1050000AB123E\r\n",
                      "S1050000AB123D\nS1040000G00B\n", "S1050000AB", "S1050000AB123D\r\n",
                      testing::SRecordLine('2', 0x3FFF0, std::vector<std::uint8_t>(20, 7)) + "S9030000FC\r\n"));

// A record that crosses the end of the flash: the bytes at and above 0x40000 are reported as
// dropped, every byte below it lands in the last block.
struct BeyondCase {
  std::uint32_t address;
  int count;
  std::int64_t beyond;
};

class BeyondFlashTest : public ::testing::TestWithParam<BeyondCase> {};

TEST_P(BeyondFlashTest, ReportsExactlyTheBytesAtAndAbove0x40000) {
  const auto [address, count, beyond] = GetParam();
  std::vector<std::uint8_t> data(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  const std::string text = testing::SRecordLine('2', address, data) + testing::SRecordLine('9', 0, {});
  EXPECT_EQ(DiagnoseSRecords(text).bytes_beyond_flash, beyond);
  FlashImage image;
  ASSERT_EQ(SRecordReader().LoadFlashImageText(image, text), 1);
  const auto flat = FlattenFlashImage(image);
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(count); ++i) {
    if (address + i < 0x40000) {
      EXPECT_EQ(flat[address + i], data[i]) << "byte at 0x" << std::hex << address + i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Records, BeyondFlashTest,
                         ::testing::Values(BeyondCase{0x3FFF0, 16, 0}, BeyondCase{0x3FFF0, 17, 1},
                                           BeyondCase{0x3FFFF, 1, 0}, BeyondCase{0x3FFFF, 2, 1},
                                           BeyondCase{0x3FFFC, 8, 4}, BeyondCase{0x3FF80, 250, 122},
                                           BeyondCase{0x40000, 3, 3}, BeyondCase{0x4FFFF, 1, 1}));

}  // namespace
}  // namespace quillon
