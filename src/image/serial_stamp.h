#pragma once
// A serial number written into each unit's own copy of the flash image before it is sent.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "image/flash_image.h"

namespace quillon {

enum class StampFormat { kBe32, kLe32, kBe16, kLe16, kDecimal };

struct SerialStamp {
  std::int32_t address = 0;
  StampFormat format = StampFormat::kBe32;
  int width = 4;  ///< bytes the stamp takes (the digits of a decimal stamp)
};

/// "ADDR:FORMAT": ADDR decimal or 0x-hex, FORMAT be32, le32, be16, le16 or dec:W with W from
/// 1 to 16. Nothing when the text is not one of these.
std::optional<SerialStamp> ParseSerialStamp(std::string_view text);

/// Whether the stamp may go where it says: inside the flash, over bytes the update leaves
/// erased (0xFF).
struct StampCheck {
  enum class Kind { kFits, kOutsideFlash, kOverData };
  Kind kind = Kind::kFits;
  std::vector<std::uint8_t> held;  ///< kOverData: what the image holds over the stamp's range
};
StampCheck CheckSerialStamp(const FlashImage& image, const SerialStamp& stamp);

/// The stamp's bytes for `number`; nothing when the number does not fit the format.
std::optional<std::vector<std::uint8_t>> StampBytes(const SerialStamp& stamp, std::uint64_t number);

/// Writes the stamp into `image` (a unit's own copy): the blocks it lands in are allocated
/// when the update gave them nothing, and their UsedLength reaches over it in whole chunks, so
/// the block is sent and its checksum covers the stamp. False when the number does not fit.
bool StampImage(FlashImage& image, const SerialStamp& stamp, std::uint64_t number);

/// Where the stamp's first byte lands: the erase block and the 128-byte chunk of it.
struct StampPlace {
  int block = -1;
  int chunk = 0;
};
StampPlace PlaceOf(const SerialStamp& stamp);

}  // namespace quillon
