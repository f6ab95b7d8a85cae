#include "devsim/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include <sys/prctl.h>

namespace devsim {

PtyLine::PtyLine() {
  // A device answers on time: no 50 us timer slack on every wire delay.
  ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    HangUp();
    return;
  }
  slave_path_ = ::ptsname(master_);
  // Until the host sets its own line, keep the slave raw so nothing is echoed or edited.
  const int slave = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave >= 0) {
    termios t{};
    if (::tcgetattr(slave, &t) == 0) {
      ::cfmakeraw(&t);
      ::cfsetspeed(&t, B19200);
      ::tcsetattr(slave, TCSANOW, &t);
    }
    ::close(slave);
  }
}

PtyLine::~PtyLine() { HangUp(); }

void PtyLine::HangUp() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

std::uint32_t PtyLine::HostRate() const {
  termios t{};
  // The master shows the slave's settings: what the host set.
  if (master_ < 0 || ::tcgetattr(master_, &t) != 0) return 0;
  switch (::cfgetospeed(&t)) {
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

void PtyLine::WireDelay(std::size_t bytes) {
  // Ten bits a byte: start, eight data bits, stop. A sleep wakes a little late; the device
  // would not have been late, so what follows is timed as if it had woken on time.
  using Clock = std::chrono::steady_clock;
  const auto duration = std::chrono::nanoseconds(static_cast<long long>(bytes) * 10 * 1000000000LL /
                                                 std::max<std::uint32_t>(device_rate_, 1));
  wire_free_ = std::max(wire_free_, Clock::now() - overslept_) + duration;
  std::this_thread::sleep_until(wire_free_);
  overslept_ = std::max(Clock::duration::zero(), Clock::now() - wire_free_);
}

std::optional<std::uint8_t> PtyLine::ReadByte(std::chrono::milliseconds idle) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + idle;
  while (pending_.empty()) {
    if (master_ < 0) return std::nullopt;
    pollfd p{master_, POLLIN, 0};
    const int r = ::poll(&p, 1, 20);
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (r > 0 && (p.revents & POLLIN)) {
      std::uint8_t buffer[512];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) {
        host_seen_ = true;
        pending_sent_ = Clock::now();
        // These bytes came when the host sent them, however late the device woke before.
        overslept_ = {};
        WireDelay(static_cast<std::size_t>(n));
        pending_.insert(pending_.end(), buffer, buffer + n);
        break;
      }
    }
    // No slave open: before the host came that means "not yet", after it "gone".
    if (r > 0 && (p.revents & POLLHUP)) {
      if (host_seen_) {
        if (host_may_return_) host_seen_ = false;
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      deadline = Clock::now() + idle;
    }
    if (host_seen_ && Clock::now() > deadline) return std::nullopt;
  }
  const std::uint8_t byte = pending_.front();
  pending_.pop_front();
  last_byte_sent_ = pending_sent_;
  return byte;
}

void PtyLine::Write(std::span<const std::uint8_t> bytes, bool timed) {
  if (master_ < 0 || bytes.empty()) return;
  if (timed) WireDelay(bytes.size());
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace devsim
