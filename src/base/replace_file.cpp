#include "base/replace_file.h"

#include <cctype>
#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/posix_call.h"
#endif

namespace quillon {
namespace {

bool Refuse(std::string* why, const char* reason) {
  if (why != nullptr) *why = reason;
  return false;
}

constexpr const char* kNotRegular = "it is not a regular file (a device, a FIFO or a folder); nothing was replaced";
constexpr const char* kReadOnly = "it is read-only, or its folder cannot be written";
constexpr const char* kWriteFailed = "the new contents could not be written (disk full?)";

#ifdef _WIN32
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
#endif

}  // namespace

#ifdef _WIN32
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
#else
bool ReplaceFileContents(const std::filesystem::path& path, std::string_view content, std::string* why) {
  std::error_code error;
  // A file that is a symbolic link is updated at its target; the link stays.
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(target, error))) {
    target = std::filesystem::weakly_canonical(target, error);
    if (error) return Refuse(why, "its link cannot be followed");
  }
  mode_t mode = 0666;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    // Renaming over /dev/null or a FIFO would replace the device itself with a plain file.
    if (!S_ISREG(old.st_mode)) return Refuse(why, kNotRegular);
    // A read-only file stays exactly as it is, also for root, as a failed write would leave it.
    if ((old.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) return Refuse(why, kReadOnly);
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  if (target.parent_path().empty()) temporary = "." + target.filename().string() + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return Refuse(why, kReadOnly);
  bool ok = ::fchmod(fd, mode) == 0;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = posix::Write(fd, content.data() + done, content.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (posix::Close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok || Refuse(why, kWriteFailed);
}
#endif


}  // namespace quillon
