#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/file.h"
#include "base/lock_wait.h"
#include "base/posix_call.h"

namespace quillon {

bool AppendExclusively(const std::filesystem::path& path, std::string_view bytes, int wait_ms) {
  // Not blocking: a FIFO named as the log must not hold the update until someone reads it.
  const int fd = posix::Open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st {};
  if (posix::Fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    posix::Close(fd);
    return false;
  }
  bool ok = WithinLockWait(wait_ms, [&]() -> std::optional<bool> {
    if (posix::System().flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
    return false;
  });
  // The length before the record, taken under the lock: a torn record is cut back to it.
  struct stat before {};
  ok = ok && posix::Fstat(fd, &before) == 0;
  // One write of the whole line: with O_APPEND two writers never interleave inside it.
  ssize_t n = -1;
  if (ok) n = posix::Write(fd, bytes.data(), bytes.size());
  if (ok && n != static_cast<ssize_t>(bytes.size())) {
    // A full disk (or a size limit) took only the start of the record: the next record must
    // not be glued onto it. Cut it off again, or, when even that fails, end its line.
    if (n > 0 && posix::Ftruncate(fd, before.st_size) != 0) posix::Write(fd, "\n", 1);
    ok = false;
  }
  return posix::Close(fd) == 0 && ok;
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}

std::string LogFileBytes(const std::string& utf8) { return utf8; }

int OpenNewFile(const std::string& path) {
  return posix::Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
}

bool WriteAll(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = posix::Write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void CloseFile(int fd) { posix::Close(fd); }

// A POSIX writer waits in poll(), never in a write: nothing to call off.
WritingThread::WritingThread() = default;
WritingThread::~WritingThread() = default;
void WritingThread::Cancel() {}

WriteReady WaitWritable(int fd, std::chrono::milliseconds limit) {
  pollfd wanted{fd, POLLOUT, 0};
  const int n = posix::Poll(&wanted, 1, static_cast<int>(limit.count()));
  if (n < 0) return errno == EINTR ? WriteReady::kNotYet : WriteReady::kFailed;
  if (n == 0) return WriteReady::kNotYet;
  return (wanted.revents & (POLLERR | POLLNVAL)) != 0 ? WriteReady::kFailed : WriteReady::kReady;
}

std::optional<FileIdentity> IdentifyFile(const std::filesystem::path& path) {
  // O_NONBLOCK: a FIFO put at the name is identified, never waited on.
  const int fd = posix::Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  const bool known = posix::Fstat(fd, &status) == 0;
  posix::Close(fd);
  if (!known) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool MayWritePath(const std::filesystem::path& path) { return posix::Access(path.c_str(), W_OK) == 0; }

}  // namespace quillon
