#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "base/posix_call.h"
#include "image/srecord.h"

namespace quillon {

int FileText::Load(const std::filesystem::path& path) {
  Release();
  // Not blocking: opening a FIFO must not wait for a writer. The file is read, not mapped: a
  // mapped file that shrinks kills the process with SIGBUS.
  const int fd = posix::Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct Closer {
    int fd;
    ~Closer() { posix::Close(fd); }
  } closer{fd};
  struct stat st {};
  if (posix::Fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size == 0) return 0;
  try {
    buffer_ = std::make_unique_for_overwrite<char[]>(size);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = posix::Read(fd, buffer_.get() + done, size - done);
    if (n <= 0) {
      // Cut short while it was read: it cannot be read as it was.
      Release();
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  data_ = buffer_.get();
  size_ = size;
  return 0;
}

}  // namespace quillon
