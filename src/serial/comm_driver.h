#pragma once
// The nine operations the serial port needs of the platform's serial driver, plus a wait for
// input, as one narrow interface: termios on POSIX, the comm API on Windows, a scripted fake
// in tests.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace quillon {

/// The line settings the port changes; a driver keeps every other setting as it read it.
struct LineSettings {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;    ///< 0: none
  std::uint8_t StopBits = 0;  ///< 0: one stop bit
  bool fParity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
};

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

/// Line error flags, with the values the Windows comm API gives them.
inline constexpr std::uint32_t kCeRxOver = 0x01;
inline constexpr std::uint32_t kCeOverrun = 0x02;
inline constexpr std::uint32_t kCeRxParity = 0x04;
inline constexpr std::uint32_t kCeFrame = 0x08;
inline constexpr std::uint32_t kCeBreak = 0x10;

/// How a wait for input ended.
enum class InputWait {
  kInput,     ///< bytes are waiting (or a line error is flagged with them)
  kTimeUp,    ///< nothing arrived in the time given
  kLineGone,  ///< the line cannot be read any more (hung up, adapter pulled out)
};

class CommDriver {
 public:
  virtual ~CommDriver() = default;
  /// Opens the device for reading and writing, exclusively; fails when it is absent or in use.
  virtual bool Open(const std::string& device) = 0;
  virtual bool SetupQueues(std::uint32_t input, std::uint32_t output) = 0;
  virtual bool GetState(LineSettings& settings) = 0;
  virtual bool SetState(const LineSettings& settings) = 0;
  virtual bool GetTimeouts(CommTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  /// The error flags since the last call (then cleared) and the bytes waiting to be read.
  virtual bool ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) = 0;
  /// Reads at most buffer.size() bytes that are already waiting; never waits.
  virtual bool Read(std::span<std::uint8_t> buffer, std::size_t& read) = 0;
  /// Writes the bytes, giving up when the write time-out has passed; `written` tells how many.
  virtual bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) = 0;
  /// Blocks until bytes are waiting, the line has failed, or `milliseconds` have passed;
  /// returns at once when bytes are already waiting. Consumes nothing and clears no error.
  virtual InputWait WaitForInput(int milliseconds) = 0;
  /// Returns once everything written has been transmitted.
  virtual bool Flush() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

/// The driver of the platform this program runs on.
std::unique_ptr<CommDriver> MakePlatformCommDriver();

/// For a program about to end on a signal (Ctrl-C): puts back what the platform drivers
/// changed on the ports still open (USB adapters' low-latency flag, exclusive use) with only
/// calls a signal handler may make. The ports stay open; the process ends right after.
void RestorePortsForSignal() noexcept;

}  // namespace quillon
