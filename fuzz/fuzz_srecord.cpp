// Feeds arbitrary bytes to the S-record decoders and the flash image loader. The text sits in
// a buffer of exactly its own size, so any read past its end is caught.

#include <cstdint>
#include <memory>
#include <vector>

#include "image/srecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  std::vector<char> text(data, data + size);
  std::vector<std::uint8_t> out(size);
  SRecordReader reader;
  const int n = reader.DecodeSRecords(text, out.data());
  if (n > static_cast<int>(size / 2)) __builtin_trap();

  std::array<std::uint8_t, 256> record{};
  int count = 0;
  std::uint32_t address = 0;
  const int length = reader.DecodeSRecord(text, record, count, address);
  if (length >= 0 && (length < 8 || count > 252)) __builtin_trap();

  FlashImage image;
  const int result = reader.LoadFlashImageText(image, text);
  if (result != 1 && result != -2) __builtin_trap();
  for (const auto& block : image) {
    if (block.UsedLength < 0 || block.UsedLength > block.Size ||
        (result == 1 && block.UsedLength % 128 != 0)) {
      __builtin_trap();
    }
  }
  return 0;
}
