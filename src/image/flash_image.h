#pragma once
// The device's 256 KB flash as twelve erase blocks, each an image of its own.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace quillon {

struct FlashBlockEntry {
  std::int32_t base;
  std::int32_t size;
};

/// The erase blocks in address order; the thirteenth entry holds only the end of the flash.
inline constexpr std::array<FlashBlockEntry, 13> FlashBlockTable{{
    {0x00000, 0x1000}, {0x01000, 0x1000}, {0x02000, 0x1000}, {0x03000, 0x1000},
    {0x04000, 0x1000}, {0x05000, 0x1000}, {0x06000, 0x1000}, {0x07000, 0x1000},
    {0x08000, 0x8000}, {0x10000, 0x10000}, {0x20000, 0x10000}, {0x30000, 0x10000},
    {0x40000, 0},
}};
inline constexpr int kFlashBlockCount = 12;
inline constexpr std::int32_t kFlashEnd = 0x40000;
inline constexpr int kChunkSize = 128;

/// The image of one erase block: its buffer starts as erased flash (0xFF), and UsedLength
/// counts the bytes from the block's start that are to be sent (0: nothing).
class BlockImage {
 public:
  virtual ~BlockImage() = default;

  /// Sets Base and Size and gives the block a fresh buffer of 0xFF. Returns 1, or 0 when the
  /// memory is not there (the buffer is then empty). UsedLength is left alone.
  int Allocate(std::int32_t base, std::int32_t size);
  /// Copies the bytes in at address - Base and raises UsedLength to their end. The caller
  /// guarantees that they lie inside the block. Returns 1.
  int Store(std::int32_t address, std::span<const std::uint8_t> source);
  /// Rounds UsedLength up to a whole number of 128-byte chunks.
  void RoundUsedLength();

  std::vector<std::uint8_t> Bytes;  ///< empty until allocated
  std::int32_t Size = 0;
  std::int32_t UsedLength = 0;
  std::int32_t Base = 0;
};

using FlashImage = std::array<BlockImage, kFlashBlockCount>;

/// The bytes a transfer sends for the block: Bytes[0 .. UsedLength).
std::span<const std::uint8_t> UsedBytes(const BlockImage& block);
/// Number of 128-byte chunks the block goes out in.
int BlockChunks(const BlockImage& block);
/// The block's checksum byte: 0xFF minus the 8-bit sum of its used bytes.
std::uint8_t BlockChecksum(const BlockImage& block);
/// Total of UsedLength over all blocks.
std::int64_t TotalUsedLength(const FlashImage& image);
/// The whole flash as one 0x40000-byte image, 0xFF wherever no block was allocated.
std::vector<std::uint8_t> FlattenFlashImage(const FlashImage& image);

}  // namespace quillon
