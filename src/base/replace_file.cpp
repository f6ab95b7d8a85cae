#include "base/replace_file.h"

#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#endif

namespace quillon {

#ifdef _WIN32
bool ReplaceFileContents(const std::filesystem::path& path, std::string_view content) {
  std::error_code error;
  const auto target = std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))
                          ? std::filesystem::weakly_canonical(path, error)
                          : path;
  if (std::filesystem::exists(target, error) &&
      (std::filesystem::status(target, error).permissions() & std::filesystem::perms::owner_write) ==
          std::filesystem::perms::none) {
    return false;
  }
  auto temporary = target;
  temporary += ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, error);
      return false;
    }
  }
  std::filesystem::rename(temporary, target, error);
  if (error) std::filesystem::remove(temporary, error);
  return !error;
}
#else
bool ReplaceFileContents(const std::filesystem::path& path, std::string_view content) {
  std::error_code error;
  // A file that is a symbolic link is updated at its target; the link stays.
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(target, error))) {
    target = std::filesystem::weakly_canonical(target, error);
    if (error) return false;
  }
  mode_t mode = 0666;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    // A read-only file stays exactly as it is, also for root, as a failed write would leave it.
    if ((old.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) return false;
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  if (target.parent_path().empty()) temporary = "." + target.filename().string() + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}
#endif


}  // namespace quillon
