#include "image/serial_stamp.h"

#include <algorithm>
#include <charconv>
#include <span>
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

// A width after "name:", from 1 to `most`.
std::optional<int> WidthAfter(std::string_view format, std::string_view name, int most) {
  if (format.substr(0, name.size()) != name) return std::nullopt;
  const std::string_view digits = format.substr(name.size());
  const auto width = ParseNumber(digits);
  if (!width || digits.substr(0, 2) == "0x" || *width < 1 || *width > most) return std::nullopt;
  return static_cast<int>(*width);
}

// The formats a stamp may have: by name with a fixed width, or a name and the width after it.
struct FixedFormat {
  std::string_view name;
  StampFormat format;
  int width;
};
struct WidthFormat {
  std::string_view prefix;
  StampFormat format;
  int most;
};

// "ADDR:FORMAT" with FORMAT one of `fixed` or `widths`.
std::optional<SerialStamp> ParseStamp(std::string_view text, std::span<const FixedFormat> fixed,
                                      std::span<const WidthFormat> widths) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto address = ParseNumber(text.substr(0, colon));
  if (!address || *address > 0x7FFFFFFF) return std::nullopt;
  const std::string_view format = text.substr(colon + 1);
  SerialStamp stamp;
  stamp.address = static_cast<std::int32_t>(*address);
  for (const auto& named : fixed) {
    if (format == named.name) {
      stamp.format = named.format;
      stamp.width = named.width;
      return stamp;
    }
  }
  for (const auto& sized : widths) {
    if (const auto width = WidthAfter(format, sized.prefix, sized.most)) {
      stamp.format = sized.format;
      stamp.width = *width;
      return stamp;
    }
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex pairs, with one separator from `separators` allowed between pairs (the same one
// throughout); nothing for anything else.
std::optional<std::vector<std::uint8_t>> HexPairs(std::string_view text, std::string_view separators) {
  std::vector<std::uint8_t> bytes;
  char separator = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    if (!bytes.empty() && separators.find(text[at]) != std::string_view::npos) {
      if (separator == 0 && bytes.size() == 1) separator = text[at];
      if (text[at] != separator) return std::nullopt;
      ++at;
    } else if (!bytes.empty() && separator != 0) {
      return std::nullopt;  // a separator is used between every pair or none
    }
    if (at + 2 > text.size()) return std::nullopt;
    const int high = HexDigit(text[at]), low = HexDigit(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    at += 2;
  }
  return bytes;
}

}  // namespace

std::optional<SerialStamp> ParseValueStamp(std::string_view text) {
  static constexpr FixedFormat kFixed[] = {
      {"be32", StampFormat::kBe32, 4}, {"le32", StampFormat::kLe32, 4}, {"mac", StampFormat::kMac, 6}};
  static constexpr WidthFormat kWidths[] = {{"hex:", StampFormat::kHex, 64}, {"ascii:", StampFormat::kAscii, 64}};
  return ParseStamp(text, kFixed, kWidths);
}

std::optional<std::vector<std::uint8_t>> ValueBytes(const SerialStamp& stamp, std::string_view value) {
  switch (stamp.format) {
    case StampFormat::kBe32:
    case StampFormat::kLe32:
    case StampFormat::kBe16:
    case StampFormat::kLe16: {
      const auto number = ParseNumber(value);
      if (!number) return std::nullopt;
      return StampBytes(stamp, static_cast<std::uint64_t>(*number));
    }
    case StampFormat::kHex: {
      auto bytes = HexPairs(value, ":- ");
      if (!bytes || static_cast<int>(bytes->size()) != stamp.width) return std::nullopt;
      return bytes;
    }
    case StampFormat::kMac: {
      auto bytes = HexPairs(value, ":-");
      if (!bytes || bytes->size() != 6 || value.size() != 17) return std::nullopt;
      return bytes;
    }
    case StampFormat::kAscii: {
      if (value.empty() || static_cast<int>(value.size()) > stamp.width) return std::nullopt;
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stamp.width), 0x00);
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] < 0x20 || value[i] > 0x7E) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(value[i]);
      }
      return bytes;
    }
    case StampFormat::kDecimal:
      break;
  }
  return std::nullopt;
}

std::optional<SerialStamp> ParseSerialStamp(std::string_view text) {
  static constexpr FixedFormat kFixed[] = {{"be32", StampFormat::kBe32, 4},
                                           {"le32", StampFormat::kLe32, 4},
                                           {"be16", StampFormat::kBe16, 2},
                                           {"le16", StampFormat::kLe16, 2}};
  static constexpr WidthFormat kWidths[] = {{"dec:", StampFormat::kDecimal, 16}};
  return ParseStamp(text, kFixed, kWidths);
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
    case StampFormat::kHex:
    case StampFormat::kMac:
    case StampFormat::kAscii:
      break;
  }
  return std::nullopt;
}

bool StampImage(FlashImage& image, const SerialStamp& stamp, std::uint64_t number) {
  const auto bytes = StampBytes(stamp, number);
  return bytes && StampBytesInto(image, stamp, *bytes);
}

bool StampBytesInto(FlashImage& image, const SerialStamp& stamp, std::span<const std::uint8_t> bytes) {
  if (static_cast<int>(bytes.size()) != stamp.width ||
      CheckSerialStamp(image, stamp).kind == StampCheck::Kind::kOutsideFlash) {
    return false;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::int32_t address = stamp.address + static_cast<std::int32_t>(i);
    const int index = BlockOf(address);
    BlockImage& block = image[static_cast<std::size_t>(index)];
    if (block.Bytes.empty()) {
      const auto& entry = FlashBlockTable[static_cast<std::size_t>(index)];
      if (block.Allocate(entry.base, entry.size) == 0) return false;
    }
    block.Store(address, bytes.subspan(i, 1));
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
