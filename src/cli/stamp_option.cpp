#include "cli/stamp_option.h"

#include <cstdio>

#include "cli/exit_status.h"
#include "cli/output.h"

namespace quillon::cli {
namespace {

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%05X", value);
  return text;
}

// Whether the stamp's bytes go inside the flash over bytes the update leaves erased; exit 2
// (said, naming `option`) when not.
std::optional<int> CheckPlace(const FlashImage& image, const char* option, const SerialStamp& stamp) {
  const StampCheck check = CheckSerialStamp(image, stamp);
  if (check.kind == StampCheck::Kind::kOutsideFlash) {
    Say(stderr, "error: %s: %s bytes at %s do not fit inside the flash (0x00000-0x3FFFF)\n",
        {option, std::to_string(stamp.width), Hex(static_cast<std::uint32_t>(stamp.address))});
    return kExitUsage;
  }
  if (check.kind == StampCheck::Kind::kOverData) {
    std::string held;
    for (std::uint8_t byte : check.held) {
      char pair[4];
      std::snprintf(pair, sizeof pair, " %02X", byte);
      held += pair;
    }
    Say(stderr,
        "error: %s: the update file puts data at %s (it holds%s there); choose an address the update leaves erased "
        "(0xFF)\n",
        {option, Hex(static_cast<std::uint32_t>(stamp.address)), held});
    return kExitUsage;
  }
  return std::nullopt;
}

}  // namespace

std::optional<int> CheckStamp(const FlashImage& image, const std::string& text, std::optional<SerialStamp>& stamp) {
  if (text.empty()) return std::nullopt;
  stamp = ParseSerialStamp(text);
  if (!stamp) {
    Say(stderr,
        "error: --serial-number %s: write ADDR:FORMAT, FORMAT one of be32, le32, be16, le16 or "
        "dec:W (W digits, 1 to 16), e.g. 0x3FF00:be32\n",
        {text});
    return kExitUsage;
  }
  return CheckPlace(image, "--serial-number", *stamp);
}

std::optional<int> CheckValueStamp(const FlashImage& image, const std::string& text, SerialStamp& stamp) {
  const auto parsed = ParseValueStamp(text);
  if (!parsed) {
    Say(stderr,
        "error: --pool-at %s: write ADDR:FORMAT, FORMAT one of hex:N (N bytes from hex text), mac (6 bytes from "
        "aa:bb:cc:dd:ee:ff), ascii:W (W bytes of text), be32 or le32, e.g. 0x3FF10:mac\n",
        {text});
    return kExitUsage;
  }
  stamp = *parsed;
  return CheckPlace(image, "--pool-at", stamp);
}

}  // namespace quillon::cli
