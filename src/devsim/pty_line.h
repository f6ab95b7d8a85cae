#pragma once
// The device's end of a pseudo-terminal, with the time bytes take on a real line.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

namespace devsim {

class PtyLine {
 public:
  PtyLine();
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& port_path() const { return slave_path_; }

  /// The next byte the host sent, once its wire time has passed; nothing when the host
  /// closed the port (after having opened it) or stayed silent for `idle`.
  std::optional<std::uint8_t> ReadByte(std::chrono::milliseconds idle);
  /// Sends bytes after the time they take on the wire at the line's current rate; an echo
  /// goes out while its bytes arrive, so it takes no time of its own (`timed` false).
  void Write(std::span<const std::uint8_t> bytes, bool timed = true);
  void Write(std::uint8_t byte) { Write({&byte, 1}); }
  /// The bit rate the host's side of the line is set to (0 when unknown).
  std::uint32_t HostRate() const;
  /// Drops the line, as a USB adapter pulled out would.
  void HangUp();
  /// When the byte ReadByte returned last left the host (the moment its read came in,
  /// before its wire time).
  std::chrono::steady_clock::time_point LastByteSent() const { return last_byte_sent_; }
  /// True once the host has opened the port and sent something.
  bool HostSeen() const { return host_seen_; }
  /// A fixture that serves board after board: the host closing its port ends the current
  /// read (ReadByte returns nothing) but not the line; the next read waits for the host to
  /// come back.
  void set_host_may_return(bool may_return) { host_may_return_ = may_return; }
  /// The rate the device's side runs at (wire time is computed from it).
  void SetDeviceRate(std::uint32_t rate) { device_rate_ = rate; }

 private:
  void WireDelay(std::size_t bytes);

  int master_ = -1;
  std::string slave_path_;
  std::deque<std::uint8_t> pending_;
  std::chrono::steady_clock::time_point pending_sent_{};
  std::chrono::steady_clock::time_point last_byte_sent_{};
  bool host_seen_ = false;
  bool host_may_return_ = false;
  std::uint32_t device_rate_ = 19200;
  std::chrono::steady_clock::time_point wire_free_{};  ///< when the last bytes are through
  std::chrono::steady_clock::duration overslept_{};    ///< how late the last wire delay woke
};

}  // namespace devsim
