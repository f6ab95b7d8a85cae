#include "image/flash_image.h"

#include <algorithm>
#include <new>
#include <numeric>

namespace quillon {

int BlockImage::Allocate(std::int32_t base, std::int32_t size) {
  Base = base;
  Size = size;
  Bytes.clear();
  Bytes.shrink_to_fit();
  try {
    Bytes.assign(static_cast<std::size_t>(size), 0xFF);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

int BlockImage::Store(std::int32_t address, std::span<const std::uint8_t> source) {
  const std::int32_t offset = address - Base;
  std::copy(source.begin(), source.end(), Bytes.begin() + offset);
  UsedLength = std::max(UsedLength, offset + static_cast<std::int32_t>(source.size()));
  return 1;
}

void BlockImage::RoundUsedLength() {
  UsedLength = (UsedLength + kChunkSize - 1) / kChunkSize * kChunkSize;
}

std::span<const std::uint8_t> UsedBytes(const BlockImage& block) {
  const auto used = std::clamp<std::size_t>(static_cast<std::size_t>(std::max(block.UsedLength, 0)),
                                            0, block.Bytes.size());
  return std::span(block.Bytes).first(used);
}

int BlockChunks(const BlockImage& block) {
  return (std::max(block.UsedLength, 0) + kChunkSize - 1) / kChunkSize;
}

std::uint8_t BlockChecksum(const BlockImage& block) {
  auto bytes = UsedBytes(block);
  const unsigned sum = std::accumulate(bytes.begin(), bytes.end(), 0u);
  return static_cast<std::uint8_t>(0xFF - (sum & 0xFF));
}

std::int64_t TotalUsedLength(const FlashImage& image) {
  std::int64_t total = 0;
  for (const auto& block : image) total += block.UsedLength;
  return total;
}

std::vector<std::uint8_t> FlattenFlashImage(const FlashImage& image) {
  std::vector<std::uint8_t> flat(kFlashEnd, 0xFF);
  for (int i = 0; i < kFlashBlockCount; ++i) {
    const auto& block = image[i];
    const auto room = static_cast<std::size_t>(FlashBlockTable[i].size);
    std::copy_n(block.Bytes.begin(), std::min(room, block.Bytes.size()),
                flat.begin() + FlashBlockTable[i].base);
  }
  return flat;
}

}  // namespace quillon
