#include <windows.h>

#include <algorithm>
#include <cctype>

#include "base/replace_file.h"
#include "base/replace_file_reasons.h"

namespace quillon {

using namespace replace_file;

namespace {

// Names that Windows takes for devices in any folder, with any extension.
bool IsWindowsDeviceName(const std::filesystem::path& path) {
  std::string stem = path.filename().string();
  stem = stem.substr(0, stem.find('.'));
  while (!stem.empty() && (stem.back() == ' ')) stem.pop_back();
  for (auto& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" || stem == "CONOUT$") {
    return true;
  }
  return stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '0' &&
         stem[3] <= '9';
}

}  // namespace

bool ReplaceFileContents(const std::filesystem::path& path, std::string_view content, std::string* why) {
  std::error_code error;
  const auto target = std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))
                          ? std::filesystem::weakly_canonical(path, error)
                          : path;
  if (IsWindowsDeviceName(target)) return Refuse(why, "it names a device");
  const auto status = std::filesystem::status(target, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) return Refuse(why, kNotRegular);
  if (std::filesystem::exists(status) &&
      (status.permissions() & std::filesystem::perms::owner_write) == std::filesystem::perms::none) {
    return Refuse(why, kReadOnly);
  }
  auto temporary = target;
  temporary += ".new";
  // The new contents reach the disk before they take the old one's name: a power cut leaves
  // the old file or the new one, never an empty one.
  const HANDLE file = ::CreateFileW(temporary.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Refuse(why, kWriteFailed);
  bool written = true;
  for (std::size_t at = 0; written && at < content.size();) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(content.size() - at, 1u << 20));
    DWORD done = 0;
    written = ::WriteFile(file, content.data() + at, part, &done, nullptr) != 0 && done > 0;
    at += done;
  }
  written = written && ::FlushFileBuffers(file) != 0;
  ::CloseHandle(file);
  if (!written) {
    std::filesystem::remove(temporary, error);
    return Refuse(why, kWriteFailed);
  }
  if (::MoveFileExW(temporary.wstring().c_str(), target.wstring().c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    std::filesystem::remove(temporary, error);
    return Refuse(why, kReadOnly);
  }
  return true;
}

}  // namespace quillon
