#include "image/serial_stamp.h"

#include <algorithm>
#include <charconv>
#include <string>

namespace quillon {
namespace {

std::optional<std::int64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

int BlockOf(std::int32_t address) {
  for (int i = 0; i < kFlashBlockCount; ++i) {
    const auto& entry = FlashBlockTable[static_cast<std::size_t>(i)];
    if (address >= entry.base && address < entry.base + entry.size) return i;
  }
  return -1;
}

}  // namespace

std::optional<SerialStamp> ParseSerialStamp(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto address = ParseNumber(text.substr(0, colon));
  if (!address || *address > 0x7FFFFFFF) return std::nullopt;
  const std::string_view format = text.substr(colon + 1);
  SerialStamp stamp;
  stamp.address = static_cast<std::int32_t>(*address);
  if (format == "be32" || format == "le32") {
    stamp.format = format == "be32" ? StampFormat::kBe32 : StampFormat::kLe32;
    stamp.width = 4;
  } else if (format == "be16" || format == "le16") {
    stamp.format = format == "be16" ? StampFormat::kBe16 : StampFormat::kLe16;
    stamp.width = 2;
  } else if (format.substr(0, 4) == "dec:") {
    const std::string_view digits = format.substr(4);
    const auto width = ParseNumber(digits);
    if (!width || digits.substr(0, 2) == "0x" || *width < 1 || *width > 16) return std::nullopt;
    stamp.format = StampFormat::kDecimal;
    stamp.width = static_cast<int>(*width);
  } else {
    return std::nullopt;
  }
  return stamp;
}

StampCheck CheckSerialStamp(const FlashImage& image, const SerialStamp& stamp) {
  StampCheck check;
  if (stamp.address < 0 || stamp.address > kFlashEnd - stamp.width) {
    check.kind = StampCheck::Kind::kOutsideFlash;
    return check;
  }
  bool erased = true;
  for (std::int32_t address = stamp.address; address < stamp.address + stamp.width; ++address) {
    const BlockImage& block = image[static_cast<std::size_t>(BlockOf(address))];
    const std::int32_t offset = address - block.Base;
    const std::uint8_t byte =
        block.Bytes.empty() || offset >= block.UsedLength ? 0xFF : block.Bytes[static_cast<std::size_t>(offset)];
    check.held.push_back(byte);
    erased = erased && byte == 0xFF;
  }
  if (!erased) check.kind = StampCheck::Kind::kOverData;
  return check;
}

std::optional<std::vector<std::uint8_t>> StampBytes(const SerialStamp& stamp, std::uint64_t number) {
  std::vector<std::uint8_t> bytes;
  switch (stamp.format) {
    case StampFormat::kDecimal: {
      std::string digits = std::to_string(number);
      if (static_cast<int>(digits.size()) > stamp.width) return std::nullopt;
      digits.insert(0, static_cast<std::size_t>(stamp.width) - digits.size(), '0');
      bytes.assign(digits.begin(), digits.end());
      return bytes;
    }
    case StampFormat::kBe32:
    case StampFormat::kLe32:
    case StampFormat::kBe16:
    case StampFormat::kLe16: {
      if (stamp.width < 8 && number >> (8 * stamp.width) != 0) return std::nullopt;
      for (int i = stamp.width - 1; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
      if (stamp.format == StampFormat::kLe32 || stamp.format == StampFormat::kLe16) {
        std::reverse(bytes.begin(), bytes.end());
      }
      return bytes;
    }
  }
  return std::nullopt;
}

bool StampImage(FlashImage& image, const SerialStamp& stamp, std::uint64_t number) {
  const auto bytes = StampBytes(stamp, number);
  if (!bytes || CheckSerialStamp(image, stamp).kind == StampCheck::Kind::kOutsideFlash) return false;
  for (std::size_t i = 0; i < bytes->size(); ++i) {
    const std::int32_t address = stamp.address + static_cast<std::int32_t>(i);
    const int index = BlockOf(address);
    BlockImage& block = image[static_cast<std::size_t>(index)];
    if (block.Bytes.empty()) {
      const auto& entry = FlashBlockTable[static_cast<std::size_t>(index)];
      if (block.Allocate(entry.base, entry.size) == 0) return false;
    }
    block.Store(address, std::span(&(*bytes)[i], 1));
    block.RoundUsedLength();
  }
  return true;
}

StampPlace PlaceOf(const SerialStamp& stamp) {
  const int block = BlockOf(stamp.address);
  if (block < 0) return {};
  return {block, (stamp.address - FlashBlockTable[static_cast<std::size_t>(block)].base) / kChunkSize};
}

}  // namespace quillon
