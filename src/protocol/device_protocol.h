#pragma once
// The host's side of the conversation with the device: the H8S boot-mode entry with the boot
// program download, the bit-rate handshake with the boot program, and the flash transfer.
//
// Reads never block; between them a wait either pauses or waits for input with a time limit.
// The line is reached only through SerialPort and the clock only through Pause (and the
// driver's wait), so a test can walk every failure in no time.
// Each failure leaves its record at the statement that detects it.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/event_log.h"
#include "base/seams.h"
#include "image/flash_image.h"
#include "serial/serial_port.h"

namespace quillon {

/// Short poll: up to 700 reads, with a 5 ms pause after each that brings nothing.
inline constexpr int kPollReads = 700;
inline constexpr int kPollPauseMs = 5;

/// How far the flash transfer got: the block being sent (its index in the image, -1 before
/// the first), the chunks of it the device confirmed, and whether the closing command was
/// reached. After a failure it says where the transfer stopped.
struct TransferPosition {
  int block = -1;
  int chunk = 0;
  bool closing = false;
};

/// What the boot-mode start bytes brought back within a probe's wait.
enum class BootModeProbe {
  kAnswered,    ///< the chip answered 0xAA: it is in boot mode and waits for the program's size
  kSilent,      ///< not one byte came back
  kOther,       ///< bytes came back, but not the chip's answer
  kLineFailed,  ///< a write failed or the line is gone
};

class DeviceProtocol {
 public:
  /// All four must outlive the protocol object; the port must be open.
  DeviceProtocol(SerialPort& port, Pause& pause, ProgressSink& progress, const EventLog& log)
      : port_(port), pause_(pause), progress_(progress), log_(log) {}

  /// Boot-mode entry at 19200 bit/s and the download of the boot program (at most 65535
  /// bytes), every byte echoed. True once the device has confirmed the program with 0xAA.
  bool SendBoot(std::span<const std::uint8_t> image);
  /// The boot-mode start bytes, paced as SendBoot paces them, then up to `wait_ms` for the
  /// chip's 0xAA on a line that has said nothing, or the short poll's whole 3500 ms on a line
  /// that has said anything (a chip that echoes while it adjusts its rate answers late).
  /// Writes no record: a station asks this of an empty fixture all day.
  BootModeProbe ProbeBootMode(int wait_ms);
  /// The rest of SendBoot once the chip has answered the start bytes: the size, the program
  /// with its echoes, and the program's own 0xAA.
  bool SendBootProgram(std::span<const std::uint8_t> image);
  /// Writes one byte and waits for the first byte of the answer; nothing when the write
  /// failed or no answer came within the short poll.
  std::optional<std::uint8_t> ExchangeByte(std::uint8_t byte);
  /// Tells the boot program the working bit rate and moves both ends to it. The port stays
  /// at the new rate once it has been switched, whatever happens after.
  bool SwitchBitRate(std::int32_t baudrate);
  /// Sends every block that has data, then the closing command; `send_wait` of 5 ms or more
  /// paces the line after every chunk and every block.
  bool SendFlashImage(const FlashImage& image, std::int32_t send_wait);
  /// True when a read begins with `expected`; the other bytes of each read are dropped. A line
  /// that is gone ends the wait at once with false.
  bool WaitForByte(std::uint8_t expected, int attempts, int pause_ms);

  const TransferPosition& position() const { return position_; }

 private:
  /// Reads until something arrives; returns the count, or 0 when the poll timed out. A line
  /// error counts as a read that brought nothing; a line that is gone ends the poll as timed
  /// out at once.
  int ShortPoll(std::span<std::uint8_t> buffer);
  /// The slots of one wait's reads: read `attempt` owns the slot that ends
  /// (attempt + 1) x `slot_ms` after the wait began. Input may wake the next read early, but
  /// the wait never ends before its count of slots has passed, junk on the line or not.
  class ReadSlots {
   public:
    ReadSlots(Pause& pause, int slot_ms) : pause_(pause), start_(pause.Now()), slot_ms_(slot_ms) {}
    /// Whole milliseconds (rounded up) until slot `attempt` ends; 0 once it has.
    int Left(int attempt) const;

   private:
    Pause& pause_;
    Pause::Clock::time_point start_;
    int slot_ms_;
  };
  /// The rest of read `attempt`'s slot, after a read that returned `read_result`.
  void AwaitNext(int read_result, const ReadSlots& slots, int attempt);
  /// What the start bytes' reads brought: any byte at all, and whether the last byte was the
  /// chip's 0xAA.
  struct StartBytesHeard {
    bool any = false;
    bool answered = false;
  };
  /// The ten 0x00 and the 0x55, each followed by its pause and a read into `answer`; nothing
  /// when a write failed.
  std::optional<StartBytesHeard> SendStartBytes(std::span<std::uint8_t> answer);
  /// True only when every byte was written.
  bool Send(std::span<const std::uint8_t> bytes);
  bool SendByte(std::uint8_t byte) { return Send({&byte, 1}); }
  void OpenProgress(std::string_view text, int steps, Transfer transfer);
  void CloseProgress();
  /// Closes the progress window if it is open, writes the record and returns false.
  bool Fail(std::string_view message = {}, const char* file = __builtin_FILE(),
            int line = __builtin_LINE());

  SerialPort& port_;
  Pause& pause_;
  ProgressSink& progress_;
  const EventLog& log_;
  bool progress_open_ = false;
  TransferPosition position_;
};

/// The 12-byte command that tells the boot program its working bit rate.
std::array<std::uint8_t, 12> BitRateCommand(std::int32_t baudrate);

}  // namespace quillon
