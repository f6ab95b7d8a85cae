#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/posix_call.h"
#include "base/replace_file.h"
#include "base/replace_file_reasons.h"

namespace quillon {

using namespace replace_file;

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
  if (posix::Stat(target.c_str(), &old) == 0) {
    // Renaming over /dev/null or a FIFO would replace the device itself with a plain file.
    if (!S_ISREG(old.st_mode)) return Refuse(why, kNotRegular);
    // A read-only file stays exactly as it is, also for root, as a failed write would leave it.
    if ((old.st_mode & 0222) == 0 || posix::Access(target.c_str(), W_OK) != 0) return Refuse(why, kReadOnly);
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  // Appended piece by piece: "." + std::string(...) sets off a false -Wrestrict in GCC 12.
  std::string name = ".";
  name += target.filename().string();
  name += ".XXXXXX";
  std::string temporary = target.parent_path().empty() ? name : (target.parent_path() / name).string();
  const int fd = posix::Mkstemp(temporary.data());
  if (fd < 0) return Refuse(why, kReadOnly);
  bool ok = posix::Fchmod(fd, mode) == 0;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = posix::Write(fd, content.data() + done, content.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && posix::Fsync(fd) == 0;
  ok = (posix::Close(fd) == 0) && ok;
  ok = ok && posix::Rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) posix::Unlink(temporary.c_str());
  return ok || Refuse(why, kWriteFailed);
}

}  // namespace quillon
