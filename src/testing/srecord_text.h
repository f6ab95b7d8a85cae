#pragma once
// Writes well-formed S-records for tests and benchmarks.

#include <cstdint>
#include <span>
#include <string>

namespace quillon::testing {

/// A boot file whose program is two bytes (AB 12), and an update file with those two bytes at
/// 0x0100: the smallest whole update the fake devices play.
inline const std::string kTwoByteBoot = "S0050000626F29\r\nS1050000AB123D\r\nS9030000FC\r\n";
inline const std::string kTwoByteUpdate = "S1050100AB123C\r\nS9030000FC\r\n";

/// One record with CR LF; the address takes the length its type gives it (2, 3 or 4 bytes;
/// S7 4, S8 3, others 2) unless `address_bytes` says otherwise.
inline std::string SRecordLine(char type, std::uint32_t address, std::span<const std::uint8_t> data,
                               int address_bytes = 0) {
  static const char* digits = "0123456789ABCDEF";
  if (address_bytes == 0) {
    address_bytes = type == '2' || type == '8' ? 3 : (type == '3' || type == '7' ? 4 : 2);
  }
  std::string text = "S";
  text += type;
  unsigned sum = 0;
  auto pair = [&](unsigned v) {
    v &= 0xFF;
    sum += v;
    text += digits[v >> 4];
    text += digits[v & 0xF];
  };
  pair(static_cast<unsigned>(address_bytes + static_cast<int>(data.size()) + 1));
  for (int i = address_bytes - 1; i >= 0; --i) pair(address >> (8 * i));
  for (auto b : data) pair(b);
  const unsigned checksum = 255 - (sum & 0xFF);
  text += digits[checksum >> 4];
  text += digits[checksum & 0xF];
  return text + "\r\n";
}

}  // namespace quillon::testing
