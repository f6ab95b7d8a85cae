#pragma once
// The system calls of the POSIX code (the serial driver, the log, the file code) go through
// here: each is retried while it fails with EINTR, so a signal never turns into a failed
// transfer, and a test can put its own calls in place of the system's (short writes, EINTR,
// EAGAIN) to drive that code through what a real line rarely shows on demand.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cerrno>

namespace quillon::posix {

template <typename Call>
auto Retry(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

/// The calls themselves, one virtual each; the default makes the system call once.
class Calls {
 public:
  virtual ~Calls() = default;
  virtual int open(const char* path, int flags, mode_t mode);
  virtual int close(int fd);
  virtual ssize_t read(int fd, void* buffer, size_t size);
  virtual ssize_t write(int fd, const void* bytes, size_t size);
  virtual int poll(pollfd* fds, nfds_t count, int timeout_ms);
  virtual int ioctl(int fd, unsigned long request, void* argument);
  virtual int tcgetattr(int fd, termios* settings);
  virtual int tcsetattr(int fd, int when, const termios* settings);
  virtual int tcdrain(int fd);
  virtual int flock(int fd, int operation);
  virtual int fstat(int fd, struct stat* status);
  virtual int ftruncate(int fd, off_t length);
};

/// The calls in use: the system's, unless a test put others in place.
Calls& System();

/// Puts `calls` in place of the system's while it lives (tests only; not thread-safe).
class ScopedCalls {
 public:
  explicit ScopedCalls(Calls& calls);
  ~ScopedCalls();
  ScopedCalls(const ScopedCalls&) = delete;
  ScopedCalls& operator=(const ScopedCalls&) = delete;

 private:
  Calls* previous_;
};

// Each call through System(), retried on EINTR. poll() is not retried here: its caller knows
// how much of its time is left.
inline int Open(const char* path, int flags, mode_t mode = 0) { return Retry([&] { return System().open(path, flags, mode); }); }
inline int Close(int fd) { return System().close(fd); }
inline ssize_t Read(int fd, void* buffer, size_t size) { return Retry([&] { return System().read(fd, buffer, size); }); }
inline ssize_t Write(int fd, const void* bytes, size_t size) {
  return Retry([&] { return System().write(fd, bytes, size); });
}
inline int Poll(pollfd* fds, nfds_t count, int timeout_ms) { return System().poll(fds, count, timeout_ms); }
inline int Ioctl(int fd, unsigned long request, void* argument = nullptr) {
  return Retry([&] { return System().ioctl(fd, request, argument); });
}
inline int TcGetAttr(int fd, termios* settings) { return Retry([&] { return System().tcgetattr(fd, settings); }); }
inline int TcSetAttr(int fd, int when, const termios* settings) {
  return Retry([&] { return System().tcsetattr(fd, when, settings); });
}
inline int TcDrain(int fd) { return Retry([&] { return System().tcdrain(fd); }); }
inline int Flock(int fd, int operation) { return Retry([&] { return System().flock(fd, operation); }); }
inline int Fstat(int fd, struct stat* status) { return Retry([&] { return System().fstat(fd, status); }); }
inline int Ftruncate(int fd, off_t length) { return Retry([&] { return System().ftruncate(fd, length); }); }

}  // namespace quillon::posix
