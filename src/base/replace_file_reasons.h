#pragma once
// Private to base: why a file was not replaced, in the words ReplaceFileContents gives.

#include <string>

namespace quillon::replace_file {

inline bool Refuse(std::string* why, const char* reason) {
  if (why != nullptr) *why = reason;
  return false;
}

inline constexpr const char* kNotRegular = "it is not a regular file (a device, a FIFO or a folder); nothing was replaced";
inline constexpr const char* kReadOnly = "it is read-only, or its folder cannot be written";
inline constexpr const char* kWriteFailed = "the new contents could not be written (disk full?)";

}  // namespace quillon::replace_file
