#pragma once
// A serial number written into each unit's own copy of the flash image before it is sent.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "image/flash_image.h"

namespace quillon {

enum class StampFormat {
  kBe32, kLe32, kBe16, kLe16, kDecimal,
  kHex,    ///< a value's hex text as `width` bytes
  kMac,    ///< a MAC address ("aa:bb:cc:dd:ee:ff") as its 6 bytes
  kAscii,  ///< a value's text, up to `width` bytes, the rest of them 0x00
};

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

/// "ADDR:FORMAT" for a value from a list: FORMAT be32 or le32 (the value a number, decimal or
/// 0x-hex), hex:N (N bytes, 1 to 64, from 2N hex digits, with ':' '-' or ' ' between pairs
/// allowed), mac (6 bytes from six hex pairs joined by ':' or '-') or ascii:W (printable
/// ASCII, 1 to 64 bytes). Nothing when the text is not one of these.
std::optional<SerialStamp> ParseValueStamp(std::string_view text);

/// The stamp's bytes for a value's text (a ParseValueStamp format); nothing when the value is
/// not one the format holds.
std::optional<std::vector<std::uint8_t>> ValueBytes(const SerialStamp& stamp, std::string_view value);

/// Writes `bytes` at the stamp's address (as StampImage does); false when they do not fit the
/// flash.
bool StampBytesInto(FlashImage& image, const SerialStamp& stamp, std::span<const std::uint8_t> bytes);

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
