#include "base/posix_call.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quillon::posix {
namespace {

Calls g_system;
Calls* g_calls = &g_system;

}  // namespace

int Calls::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int Calls::close(int fd) { return ::close(fd); }
ssize_t Calls::read(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }
ssize_t Calls::write(int fd, const void* bytes, size_t size) { return ::write(fd, bytes, size); }
int Calls::poll(pollfd* fds, nfds_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }
int Calls::ioctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
int Calls::tcgetattr(int fd, termios* settings) { return ::tcgetattr(fd, settings); }
int Calls::tcsetattr(int fd, int when, const termios* settings) { return ::tcsetattr(fd, when, settings); }
int Calls::tcdrain(int fd) { return ::tcdrain(fd); }
int Calls::flock(int fd, int operation) { return ::flock(fd, operation); }
int Calls::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }
int Calls::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }

Calls& System() { return *g_calls; }

ScopedCalls::ScopedCalls(Calls& calls) : previous_(g_calls) { g_calls = &calls; }
ScopedCalls::~ScopedCalls() { g_calls = previous_; }

}  // namespace quillon::posix
