// The Linux side of the Windows serial tests: a pseudo-terminal whose other end echoes every
// byte back. Wine maps it as a COM port through a dosdevices link: pty_loopback LINK

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pty_loopback LINK\n");
    return 2;
  }
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 1;
  std::error_code ignored;
  std::filesystem::remove(argv[1], ignored);
  std::filesystem::create_symlink(::ptsname(master), argv[1]);
  std::printf("%s\n", ::ptsname(master));
  std::fflush(stdout);
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 100) < 0) return 1;
    if (p.revents & POLLIN) {
      unsigned char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0 && ::write(master, buffer, static_cast<std::size_t>(n)) != n) return 1;
    } else if (p.revents & POLLHUP) {
      ::usleep(10000);  // no one has the port open right now
    }
  }
}
