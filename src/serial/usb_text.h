#pragma once
// Private to serial: the small text tests of USB ids that the port list's files share.

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace quillon::usb_text {

inline std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

inline bool IsInterfaceNumber(std::string_view text) {
  return !text.empty() && text.size() <= 2 &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

inline bool IsHexId(std::string_view text) {
  return text.size() == 4 && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace quillon::usb_text
