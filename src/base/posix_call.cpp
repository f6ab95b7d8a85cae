#include "base/posix_call.h"

#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace quillon::posix {
namespace {

Calls g_system;
thread_local Calls* t_calls = nullptr;

}  // namespace

// A call the table refuses sets errno and fails as the system's would.
#define QUILLON_INJECTED(call)                 \
  if (const int error = Injected(call)) {      \
    errno = error;                             \
    return -1;                                 \
  }

int Calls::open(const char* path, int flags, mode_t mode) {
  QUILLON_INJECTED(Call::kOpen)
  return ::open(path, flags, mode);
}
int Calls::close(int fd) {
  QUILLON_INJECTED(Call::kClose)
  return ::close(fd);
}
ssize_t Calls::read(int fd, void* buffer, size_t size) {
  QUILLON_INJECTED(Call::kRead)
  return ::read(fd, buffer, size);
}
ssize_t Calls::write(int fd, const void* bytes, size_t size) {
  QUILLON_INJECTED(Call::kWrite)
  return ::write(fd, bytes, size);
}
int Calls::poll(pollfd* fds, nfds_t count, int timeout_ms) {
  QUILLON_INJECTED(Call::kPoll)
  return ::poll(fds, count, timeout_ms);
}
int Calls::ioctl(int fd, unsigned long request, void* argument) {
  QUILLON_INJECTED(Call::kIoctl)
  return ::ioctl(fd, request, argument);
}
int Calls::tcgetattr(int fd, termios* settings) {
  QUILLON_INJECTED(Call::kTcgetattr)
  return ::tcgetattr(fd, settings);
}
int Calls::tcsetattr(int fd, int when, const termios* settings) {
  QUILLON_INJECTED(Call::kTcsetattr)
  return ::tcsetattr(fd, when, settings);
}
int Calls::tcdrain(int fd) {
  QUILLON_INJECTED(Call::kTcdrain)
  return ::tcdrain(fd);
}
int Calls::flock(int fd, int operation) {
  QUILLON_INJECTED(Call::kFlock)
  return ::flock(fd, operation);
}
int Calls::fstat(int fd, struct stat* status) {
  QUILLON_INJECTED(Call::kFstat)
  return ::fstat(fd, status);
}
int Calls::ftruncate(int fd, off_t length) {
  QUILLON_INJECTED(Call::kFtruncate)
  return ::ftruncate(fd, length);
}
int Calls::fsync(int fd) {
  QUILLON_INJECTED(Call::kFsync)
  return ::fsync(fd);
}
int Calls::rename(const char* from, const char* to) {
  QUILLON_INJECTED(Call::kRename)
  return std::rename(from, to);
}
int Calls::unlink(const char* path) {
  QUILLON_INJECTED(Call::kUnlink)
  return ::unlink(path);
}
int Calls::stat(const char* path, struct stat* status) {
  QUILLON_INJECTED(Call::kStat)
  return ::stat(path, status);
}
int Calls::statfs(const char* path, struct statfs* status) {
  QUILLON_INJECTED(Call::kStatfs)
  return ::statfs(path, status);
}
int Calls::access(const char* path, int mode) {
  QUILLON_INJECTED(Call::kAccess)
  return ::access(path, mode);
}
int Calls::mkstemp(char* name_template) {
  QUILLON_INJECTED(Call::kMkstemp)
  return ::mkstemp(name_template);
}
int Calls::fchmod(int fd, mode_t mode) {
  QUILLON_INJECTED(Call::kFchmod)
  return ::fchmod(fd, mode);
}
int Calls::isatty(int fd) {
  if (const int error = Injected(Call::kIsatty)) {
    errno = error;
    return 0;
  }
  return ::isatty(fd);
}

int Calls::socket(int domain, int type, int protocol) {
  QUILLON_INJECTED(Call::kSocket)
  return ::socket(domain, type, protocol);
}
int Calls::bind(int fd, const sockaddr* address, socklen_t length) {
  QUILLON_INJECTED(Call::kBind)
  return ::bind(fd, address, length);
}
int Calls::listen(int fd, int backlog) {
  QUILLON_INJECTED(Call::kListen)
  return ::listen(fd, backlog);
}
int Calls::accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
  QUILLON_INJECTED(Call::kAccept)
  return ::accept4(fd, address, length, flags);
}
int Calls::connect(int fd, const sockaddr* address, socklen_t length) {
  QUILLON_INJECTED(Call::kConnect)
  return ::connect(fd, address, length);
}
ssize_t Calls::recv(int fd, void* buffer, size_t size, int flags) {
  QUILLON_INJECTED(Call::kRecv)
  return ::recv(fd, buffer, size, flags);
}
ssize_t Calls::send(int fd, const void* bytes, size_t size, int flags) {
  QUILLON_INJECTED(Call::kSend)
  return ::send(fd, bytes, size, flags);
}
int Calls::shutdown(int fd, int how) {
  QUILLON_INJECTED(Call::kShutdown)
  return ::shutdown(fd, how);
}
int Calls::setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
  QUILLON_INJECTED(Call::kSetsockopt)
  return ::setsockopt(fd, level, name, value, length);
}
int Calls::getsockname(int fd, sockaddr* address, socklen_t* length) {
  QUILLON_INJECTED(Call::kGetsockname)
  return ::getsockname(fd, address, length);
}

#undef QUILLON_INJECTED

Calls& System() { return t_calls != nullptr ? *t_calls : g_system; }

ScopedCalls::ScopedCalls(Calls& calls) : previous_(t_calls) { t_calls = &calls; }
ScopedCalls::~ScopedCalls() { t_calls = previous_; }

}  // namespace quillon::posix
