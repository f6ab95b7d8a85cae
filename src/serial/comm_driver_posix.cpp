// The serial driver on POSIX systems: termios on a tty device.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "serial/comm_driver.h"
#include "base/posix_call.h"

namespace quillon {
namespace {


struct SpeedEntry {
  std::uint32_t rate;
  speed_t code;
};
constexpr SpeedEntry kSpeeds[] = {{300, B300},     {600, B600},     {1200, B1200},
                                  {2400, B2400},   {4800, B4800},   {9600, B9600},
                                  {19200, B19200}, {38400, B38400}, {57600, B57600},
                                  {115200, B115200}};

std::uint32_t RateOf(speed_t code) {
  for (const auto& s : kSpeeds) {
    if (s.code == code) return s.rate;
  }
  return 0;
}

bool CodeOf(std::uint32_t rate, speed_t& code) {
  for (const auto& s : kSpeeds) {
    if (s.rate == rate) {
      code = s.code;
      return true;
    }
  }
  return false;
}

// The ports this process holds open, for RestorePortsForSignal: what a signal handler needs
// to undo the driver's changes, in lock-free slots.
struct OpenPortSlot {
  std::atomic<int> fd{-1};                  ///< -1: free; kClaimed: being filled in
  std::atomic<int> saved_serial_flags{-1};  ///< -1: the low-latency flag was not changed
  termios found{};                          ///< the line settings to put back
  bool had_found = false;
};
std::array<OpenPortSlot, 16> g_open_ports;
constexpr int kClaimed = -2;

// The handler looks only at slots whose fd is set, and the fd is set last.
OpenPortSlot* ClaimSlot(int fd, const termios* found) {
  for (auto& slot : g_open_ports) {
    int free = -1;
    if (!slot.fd.compare_exchange_strong(free, kClaimed)) continue;
    slot.had_found = found != nullptr;
    if (found != nullptr) slot.found = *found;
    slot.fd = fd;
    return &slot;
  }
  return nullptr;  // more ports than slots: those are not put back on a signal
}

void RestoreSerialFlags(int fd, int flags) {
#ifdef __linux__
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags = flags;
    ::ioctl(fd, TIOCSSERIAL, &serial);
  }
#else
  (void)fd, (void)flags;
#endif
}

class PosixCommDriver final : public CommDriver {
 public:
  ~PosixCommDriver() override { Close(); }

  bool Open(const std::string& device) override {
    Close();
    const int fd = posix::Open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    // TIOCEXCL keeps other users out (root excepted); the lock keeps out other copies of us,
    // root included.
    if (!posix::IsATty(fd) || posix::Ioctl(fd, TIOCEXCL) != 0 || posix::Flock(fd, LOCK_EX | LOCK_NB) != 0) {
      posix::Close(fd);
      return false;
    }
    fd_ = fd;
    // The line settings as another program left them, put back on close.
    had_termios_ = posix::TcGetAttr(fd_, &found_termios_) == 0;
    slot_ = ClaimSlot(fd, had_termios_ ? &found_termios_ : nullptr);
    ReadCounters(counters_);
    SetLowLatency();
    return true;
  }

  bool SetupQueues(std::uint32_t, std::uint32_t) override { return IsOpen(); }

  bool GetState(LineSettings& settings) override {
    if (!IsOpen() || posix::TcGetAttr(fd_, &termios_) != 0) return false;
    settings.BaudRate = RateOf(cfgetospeed(&termios_));
    settings.ByteSize = (termios_.c_cflag & CSIZE) == CS8 ? 8 : 7;
    settings.Parity = (termios_.c_cflag & PARENB) ? ((termios_.c_cflag & PARODD) ? 1 : 2) : 0;
    settings.StopBits = (termios_.c_cflag & CSTOPB) ? 2 : 0;
    settings.fParity = (termios_.c_iflag & INPCK) != 0;
    settings.fOutX = (termios_.c_iflag & IXON) != 0;
    settings.fInX = (termios_.c_iflag & IXOFF) != 0;
    settings.fTXContinueOnXoff = false;
    settings.fErrorChar = false;
    return true;
  }

  bool SetState(const LineSettings& settings) override {
    speed_t code;
    if (!IsOpen() || !CodeOf(settings.BaudRate, code) || settings.ByteSize != 8 ||
        settings.Parity != 0 || settings.StopBits != 0) {
      return false;
    }
    termios t{};
    if (posix::TcGetAttr(fd_, &t) != 0) return false;
    // Raw bytes both ways: 0x0D, 0x11 and 0x13 are data here, never line editing or flow control.
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB | CSIZE);
    t.c_cflag |= CS8;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (settings.fParity) t.c_iflag |= INPCK;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, code) != 0 || ::cfsetospeed(&t, code) != 0) return false;
    if (posix::TcSetAttr(fd_, TCSANOW, &t) != 0) return false;
    termios back{};
    return posix::TcGetAttr(fd_, &back) == 0 && ::cfgetospeed(&back) == code &&
           ::cfgetispeed(&back) == code;
  }

  bool GetTimeouts(CommTimeouts& timeouts) override {
    timeouts = timeouts_;
    return IsOpen();
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    timeouts_ = timeouts;
    return IsOpen();
  }

  bool ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) override {
    errors = 0;
    waiting = 0;
    if (!IsOpen()) return false;
    int queued = 0;
    if (posix::Ioctl(fd_, FIONREAD, &queued) != 0) return false;
    waiting = static_cast<std::uint32_t>(queued);
    if (queued == 0 && Gone()) return false;
    Counters now;
    if (ReadCounters(now)) {
      if (now.frame != counters_.frame) errors |= kCeFrame;
      if (now.overrun != counters_.overrun) errors |= kCeOverrun;
      if (now.parity != counters_.parity) errors |= kCeRxParity;
      if (now.brk != counters_.brk) errors |= kCeBreak;
      if (now.buf_overrun != counters_.buf_overrun) errors |= kCeRxOver;
      counters_ = now;
    }
    return true;
  }

  bool Read(std::span<std::uint8_t> buffer, std::size_t& read) override {
    read = 0;
    if (!IsOpen()) return false;
    const ssize_t n = posix::Read(fd_, buffer.data(), buffer.size());
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    // End of file on a tty: the other end hung up.
    if (n == 0 && !buffer.empty()) return false;
    read = static_cast<std::size_t>(n);
    return true;
  }

  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) override {
    written = 0;
    if (!IsOpen()) return false;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(
        timeouts_.WriteTotalTimeoutConstant +
        timeouts_.WriteTotalTimeoutMultiplier * static_cast<std::uint32_t>(bytes.size()));
    while (written < bytes.size()) {
      const ssize_t n = posix::Write(fd_, bytes.data() + written, bytes.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      if (posix::Retry([&] { return posix::Poll(&p, 1, static_cast<int>(left)); }) < 0) return false;
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    }
    return true;
  }

  InputWait WaitForInput(int milliseconds) override {
    if (!IsOpen()) return InputWait::kLineGone;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const int r = posix::Poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return InputWait::kLineGone;
      if (r == 0) return InputWait::kTimeUp;
      if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) return InputWait::kInput;
      // A hung-up line may still hold what came before the hang-up.
      int queued = 0;
      return posix::Ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0 ? InputWait::kInput : InputWait::kLineGone;
    }
  }

  bool Flush() override { return IsOpen() && posix::TcDrain(fd_) == 0; }

  void Close() override {
    if (fd_ >= 0) {
      RestoreLatency();
      if (slot_ != nullptr) {
        slot_->saved_serial_flags = -1;
        slot_->fd = -1;
        slot_ = nullptr;
      }
      if (had_termios_) posix::TcSetAttr(fd_, TCSANOW, &found_termios_);
      posix::Ioctl(fd_, TIOCNXCL);
      posix::Close(fd_);
      fd_ = -1;
    }
  }

  bool IsOpen() const override { return fd_ >= 0; }

 private:
  struct Counters {
    int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
  };

  // Line error counters where the driver keeps them; a pseudo-terminal keeps none.
  bool ReadCounters(Counters& counters) const {
#ifdef TIOCGICOUNT
    serial_icounter_struct icount{};
    if (posix::Ioctl(fd_, TIOCGICOUNT, &icount) != 0) return false;
    counters = {icount.frame, icount.overrun, icount.parity, icount.brk, icount.buf_overrun};
    return true;
#else
    (void)counters;
    return false;
#endif
  }

  // A device that hung up or vanished (a USB adapter pulled out) reports it at once.
  bool Gone() const {
    pollfd p{fd_, POLLIN, 0};
    if (posix::Retry([&] { return posix::Poll(&p, 1, 0); }) < 0) return true;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }

  // Many USB adapters hold a received byte up to 16 ms before passing it on; with one answer
  // byte per chunk that would dominate the transfer. Drivers that do not know the request (a
  // pseudo-terminal) refuse it and nothing changes.
  void SetLowLatency() {
#ifdef __linux__
    serial_struct serial{};
    if (posix::Ioctl(fd_, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
    const int saved = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (posix::Ioctl(fd_, TIOCSSERIAL, &serial) != 0) return;
    saved_serial_flags_ = saved;
    if (slot_ != nullptr) slot_->saved_serial_flags = saved;
#endif
  }

  void RestoreLatency() {
    if (!saved_serial_flags_) return;
    RestoreSerialFlags(fd_, *saved_serial_flags_);
    saved_serial_flags_.reset();
  }

  int fd_ = -1;
  OpenPortSlot* slot_ = nullptr;
  std::optional<int> saved_serial_flags_;
  termios found_termios_{};
  bool had_termios_ = false;
  termios termios_{};
  CommTimeouts timeouts_{};
  Counters counters_{};
};

}  // namespace

std::unique_ptr<CommDriver> MakePlatformCommDriver() { return std::make_unique<PosixCommDriver>(); }

void RestorePortsForSignal() noexcept {
  for (auto& slot : g_open_ports) {
    const int fd = slot.fd.load();
    if (fd < 0) continue;
    if (const int flags = slot.saved_serial_flags.load(); flags >= 0) RestoreSerialFlags(fd, flags);
    // tcsetattr is one of the calls a signal handler may make.
    if (slot.had_found) ::tcsetattr(fd, TCSANOW, &slot.found);
    ::ioctl(fd, TIOCNXCL);
  }
}

}  // namespace quillon
