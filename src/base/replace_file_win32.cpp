#include <cctype>
#include <fstream>

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
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, error);
      return Refuse(why, kWriteFailed);
    }
  }
  std::filesystem::rename(temporary, target, error);
  if (error) std::filesystem::remove(temporary, error);
  return !error || Refuse(why, kReadOnly);
}

}  // namespace quillon
