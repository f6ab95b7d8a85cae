#include "image/flash_image.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/srecord.h"
#include "testing/srecord_text.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

std::string Record(char type, std::uint32_t address, const std::vector<std::uint8_t>& data) {
  return testing::SRecordLine(type, address, data);
}

std::vector<std::uint8_t> Bytes(int n, std::uint8_t first = 1) {
  std::vector<std::uint8_t> v(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first + i);
  return v;
}

struct PlacementCase {
  const char* name;
  std::string text;
  std::array<int, 12> used;  // UsedLength of every block after the load
};

class LoadFlashImageTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(LoadFlashImageTest, LaysRecordsOverTheBlocks) {
  TempDir dir;
  FlashImage image;
  ASSERT_EQ(SRecordReader().LoadFlashImage(image, dir.Write("u.mot", GetParam().text)), 1);
  for (int i = 0; i < kFlashBlockCount; ++i) {
    EXPECT_EQ(image[i].UsedLength, GetParam().used[i]) << "block " << i;
    EXPECT_EQ(image[i].Base, FlashBlockTable[i].base);
    EXPECT_EQ(image[i].Bytes.size(), static_cast<std::size_t>(FlashBlockTable[i].size));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadFlashImageTest,
    ::testing::Values(
        PlacementCase{"empty_file", "", {}},
        PlacementCase{"one_byte_at_zero", Record('1', 0, {0x42}), {128}},
        PlacementCase{"crosses_block_0_and_1", Record('1', 0x0FF0, Bytes(32)), {0x1000, 0x80}},
        PlacementCase{"s2_in_block_9", Record('2', 0x12345, Bytes(4)), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2380}},
        PlacementCase{"wholly_beyond_flash", Record('2', 0x40000, Bytes(8)), {}},
        PlacementCase{"runs_past_flash_end", Record('2', 0x3FFF0, Bytes(32)),
                      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10000}},
        PlacementCase{"bit_31_address_dropped", Record('3', 0x80000010, Bytes(16)), {}},
        // Records without data do not make a block send 0xFF bytes nobody asked for.
        PlacementCase{"termination_records_touch_nothing",
                      Record('0', 0x1234, {}) + Record('9', 0x1234, {}) + Record('8', 0x010000, {}),
                      {}},
        PlacementCase{"overlap_keeps_highest_end",
                      Record('1', 0x0000, Bytes(200)) + Record('1', 0x0010, Bytes(4)), {256}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadFlashImageTest, SplitRecordBytesLandInBothBlocks) {
  TempDir dir;
  FlashImage image;
  ASSERT_EQ(SRecordReader().LoadFlashImage(image, dir.Write("u.mot", Record('1', 0x0FF0, Bytes(32)))), 1);
  EXPECT_EQ(image[0].Bytes[0xFF0], 1);
  EXPECT_EQ(image[0].Bytes[0xFFF], 16);
  EXPECT_EQ(image[1].Bytes[0], 17);
  EXPECT_EQ(image[1].Bytes[15], 32);
  EXPECT_EQ(image[1].Bytes[16], 0xFF);
}

TEST(LoadFlashImageTest, LaterRecordOverwritesEarlier) {
  TempDir dir;
  FlashImage image;
  auto text = Record('1', 0x100, {1, 2, 3}) + Record('1', 0x101, {9});
  ASSERT_EQ(SRecordReader().LoadFlashImage(image, dir.Write("u.mot", text)), 1);
  EXPECT_EQ(image[0].Bytes[0x100], 1);
  EXPECT_EQ(image[0].Bytes[0x101], 9);
  EXPECT_EQ(image[0].Bytes[0x102], 3);
}

TEST(LoadFlashImageTest, BadLastRecordFailsAfterEarlierPlacement) {
  TempDir dir;
  FlashImage image;
  auto text = Record('1', 0x100, {1}) + "S1050000AB123E\r\n";
  EXPECT_EQ(SRecordReader().LoadFlashImage(image, dir.Write("u.mot", text)), -2);
  EXPECT_EQ(image[0].Bytes[0x100], 1);
}

TEST(LoadFlashImageTest, MissingFileAllocatesNothing) {
  TempDir dir;
  FlashImage image;
  EXPECT_EQ(SRecordReader().LoadFlashImage(image, dir / "absent.mot"), -1);
  for (const auto& block : image) EXPECT_TRUE(block.Bytes.empty());
}

struct ChecksumCase {
  std::vector<std::uint8_t> data;
  std::uint8_t checksum;
};

class BlockChecksumTest : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(BlockChecksumTest, IsTheComplementOfTheSum) {
  BlockImage block;
  block.Allocate(0x8000, 0x8000);
  block.Store(0x8000, GetParam().data);
  block.RoundUsedLength();
  EXPECT_EQ(BlockChecksum(block), GetParam().checksum);
  EXPECT_EQ(BlockChunks(block), 1);
}

INSTANTIATE_TEST_SUITE_P(Blocks, BlockChecksumTest,
                         ::testing::Values(ChecksumCase{std::vector<std::uint8_t>(128, 0xFF), 0x7F},
                                           ChecksumCase{{1, 2, 3}, 0xFF - ((6 + 125 * 0xFF) & 0xFF)},
                                           ChecksumCase{[] {
                                                          std::vector<std::uint8_t> v(128, 0);
                                                          v[0] = 1, v[1] = 2, v[2] = 3;
                                                          return v;
                                                        }(),
                                                        0xF9}));

// Oracles from outside the project: GNU objcopy writes the S-records and srec_cat makes the
// reference flash image of the same file.
class OracleTest : public ::testing::TestWithParam<std::tuple<int, std::uint32_t, const char*>> {};

TEST_P(OracleTest, FlashImageMatchesSrecCat) {
  if (testing::RunShell("command -v objcopy >/dev/null && command -v srec_cat >/dev/null") != 0) {
    GTEST_SKIP() << "objcopy or srec_cat missing";
  }
  const auto [srec_len, offset, extra] = GetParam();
  TempDir dir;
  std::mt19937 random(srec_len * 7919u + offset);
  std::vector<char> binary(0x9000 + srec_len * 13);
  for (auto& b : binary) b = static_cast<char>(random());
  std::ofstream(dir / "in.bin", std::ios::binary).write(binary.data(), static_cast<std::streamsize>(binary.size()));
  const auto d = dir.path().string();
  char command[1024];
  std::snprintf(command, sizeof command,
                "cd '%s' && objcopy -I binary -O srec --srec-len=%d --change-addresses=0x%x %s in.bin u.mot && "
                "srec_cat u.mot -fill 0xFF 0 0x40000 -crop 0 0x40000 -o ref.bin -binary",
                d.c_str(), srec_len, offset, extra);
  ASSERT_EQ(testing::RunShell(command), 0);
  FlashImage image;
  ASSERT_EQ(SRecordReader().LoadFlashImage(image, dir / "u.mot"), 1);
  auto flat = FlattenFlashImage(image);
  auto ref = testing::ReadFileBytes(dir / "ref.bin");
  ASSERT_EQ(ref.size(), flat.size());
  EXPECT_TRUE(std::equal(flat.begin(), flat.end(), ref.begin(),
                         [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
  const std::int64_t begin = offset, end = offset + static_cast<std::int64_t>(binary.size());
  for (int i = 0; i < kFlashBlockCount; ++i) {
    const std::int64_t lo = FlashBlockTable[i].base, hi = FlashBlockTable[i + 1].base;
    const std::int64_t data_end = std::min(end, hi);
    const std::int64_t expected = begin < hi && data_end > lo ? (data_end - lo + 127) / 128 * 128 : 0;
    EXPECT_EQ(image[i].UsedLength, expected) << "block " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ObjcopyOutputs, OracleTest,
    ::testing::Values(std::make_tuple(16, 0x0u, ""), std::make_tuple(32, 0x0FF0u, ""),
                      std::make_tuple(64, 0x12345u, ""), std::make_tuple(250, 0x3A000u, ""),
                      std::make_tuple(33, 0x7F00u, "--srec-forceS3"),
                      std::make_tuple(100, 0x1000000u, "--srec-forceS3")));

}  // namespace
}  // namespace quillon
