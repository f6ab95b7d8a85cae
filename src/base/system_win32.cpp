#include "base/system.h"

#include <filesystem>

#include "base/program_paths.h"

namespace quillon {

void EnsureStandardStreams() noexcept {}

bool SameDevice(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code error;
  return std::filesystem::equivalent(Utf8Path(a), Utf8Path(b), error);
}

}  // namespace quillon
