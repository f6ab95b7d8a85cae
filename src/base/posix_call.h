#pragma once
// The system calls of the POSIX code (the serial driver and its checks, the log, the file
// code) go through here, as a table of calls per thread: each is retried while it fails with
// EINTR, so a signal never turns into a failed transfer, and a test puts its own table in place
// on its own thread (short writes, EINTR, EAGAIN, the Nth call of one function failing) to
// drive that code through what a real system rarely shows on demand.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

/// Each call of the table, by name (for a test that makes one of them fail).
enum class Call {
  kOpen, kClose, kRead, kWrite, kPoll, kIoctl, kTcgetattr, kTcsetattr, kTcdrain, kFlock, kFstat, kFtruncate,
  kFsync, kRename, kUnlink, kStat, kStatfs, kAccess, kMkstemp, kFchmod, kIsatty,
  kSocket, kBind, kListen, kAccept, kConnect, kRecv, kSend, kShutdown, kSetsockopt, kGetsockname,
};

/// The calls themselves, one virtual each; the default makes the system call once, unless
/// Injected says it fails.
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
  virtual int fsync(int fd);
  virtual int rename(const char* from, const char* to);
  virtual int unlink(const char* path);
  virtual int stat(const char* path, struct stat* status);
  virtual int statfs(const char* path, struct statfs* status);
  virtual int access(const char* path, int mode);
  virtual int mkstemp(char* name_template);
  virtual int fchmod(int fd, mode_t mode);
  virtual int isatty(int fd);
  virtual int socket(int domain, int type, int protocol);
  virtual int bind(int fd, const sockaddr* address, socklen_t length);
  virtual int listen(int fd, int backlog);
  virtual int accept4(int fd, sockaddr* address, socklen_t* length, int flags);
  virtual int connect(int fd, const sockaddr* address, socklen_t length);
  virtual ssize_t recv(int fd, void* buffer, size_t size, int flags);
  virtual ssize_t send(int fd, const void* bytes, size_t size, int flags);
  virtual int shutdown(int fd, int how);
  virtual int setsockopt(int fd, int level, int name, const void* value, socklen_t length);
  virtual int getsockname(int fd, sockaddr* address, socklen_t* length);

 protected:
  /// The errno this call fails with instead of being made, or 0 to make it (a test's table
  /// decides; the system's never fails one).
  virtual int Injected(Call call) {
    (void)call;
    return 0;
  }
};

/// The calls in use on this thread: the system's, unless a test put others in place on it.
Calls& System();

/// Puts `calls` in place of the system's on the calling thread while it lives (tests only);
/// other threads keep theirs.
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
inline int Fsync(int fd) { return Retry([&] { return System().fsync(fd); }); }
inline int Rename(const char* from, const char* to) { return Retry([&] { return System().rename(from, to); }); }
inline int Unlink(const char* path) { return Retry([&] { return System().unlink(path); }); }
inline int Stat(const char* path, struct stat* status) { return Retry([&] { return System().stat(path, status); }); }
inline int StatFs(const char* path, struct statfs* status) {
  return Retry([&] { return System().statfs(path, status); });
}
inline int Access(const char* path, int mode) { return Retry([&] { return System().access(path, mode); }); }
inline int Mkstemp(char* name_template) { return Retry([&] { return System().mkstemp(name_template); }); }
inline int Fchmod(int fd, mode_t mode) { return Retry([&] { return System().fchmod(fd, mode); }); }
inline int IsATty(int fd) { return System().isatty(fd); }
inline int Socket(int domain, int type, int protocol) { return System().socket(domain, type, protocol); }
inline int Bind(int fd, const sockaddr* address, socklen_t length) { return System().bind(fd, address, length); }
inline int Listen(int fd, int backlog) { return System().listen(fd, backlog); }
inline int Accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
  return Retry([&] { return System().accept4(fd, address, length, flags); });
}
// connect() is not retried: after EINTR the connection goes on being made (the caller polls).
inline int Connect(int fd, const sockaddr* address, socklen_t length) { return System().connect(fd, address, length); }
inline ssize_t Recv(int fd, void* buffer, size_t size, int flags) {
  return Retry([&] { return System().recv(fd, buffer, size, flags); });
}
inline ssize_t Send(int fd, const void* bytes, size_t size, int flags) {
  return Retry([&] { return System().send(fd, bytes, size, flags); });
}
inline int Shutdown(int fd, int how) { return System().shutdown(fd, how); }
inline int SetSockOpt(int fd, int level, int name, const void* value, socklen_t length) {
  return System().setsockopt(fd, level, name, value, length);
}
inline int GetSockName(int fd, sockaddr* address, socklen_t* length) { return System().getsockname(fd, address, length); }

}  // namespace quillon::posix
