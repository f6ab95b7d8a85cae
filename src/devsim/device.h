#pragma once
// A simulated H8S device: the chip's boot mode, then the boot program that takes the flash
// blocks. Written from the device's side of the line only; it shares nothing with the host.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devsim/pty_line.h"

namespace devsim {

/// One flag per failure the host must handle; all off is a healthy device.
struct Faults {
  std::string silent_at;                     ///< start, size, final, bitrate, newrate, block-ack, ready, checksum-ack, closing
  std::string vanish_at;                     ///< the same phases and echo: the line is dropped for good there
  std::optional<std::uint8_t> after_final_answer;  ///< a stray byte right behind the final 0xAA
  std::optional<std::uint8_t> start_answer;  ///< instead of 0xAA
  long wrong_echo_from = -1;                 ///< program byte from which echoes are corrupted
  long no_echo_from = -1;                    ///< program byte from which nothing is echoed
  std::optional<std::uint8_t> final_answer;  ///< instead of 0xAA
  std::optional<std::uint8_t> bitrate_answer;  ///< instead of 0x06 (a NAK, say)
  std::uint8_t chunk_answer = 0x06;
  long silent_after_chunk = -1;              ///< chunks from this one on get no answer
  int closing_bytes = 4;
  int closing_split = 0;                     ///< send the closing reply as this many, then the rest
  bool junk_before_answers = false;          ///< 0x00 in front of every 0x06 and 0x11
  long hangup_at_chunk = -1;                 ///< drop the line when this chunk arrives
  int latency_ms = 0;                        ///< flash programming time per chunk
  int slow_block_ms = 0;                     ///< the block command is acknowledged this late (a slow erase)
  int slow_checksum_ms = 0;                  ///< the checksum is acknowledged this late
  int slow_start_ms = 0;                     ///< start bytes echoed, 0xAA this late after the 0x55
};

class Device {
 public:
  Device(PtyLine& line, Faults faults, std::vector<std::uint8_t> flash);
  /// Plays one whole update; returns when it is over or the host has gone.
  void Run();
  /// One board of a fixture: plays the update and returns as soon as it is over, or once the
  /// host let go of the line after a failure; the operator then takes the board off.
  void RunBoard();

  const std::vector<std::uint8_t>& flash() const { return flash_; }
  const std::vector<std::string>& seen() const { return seen_; }
  const std::vector<std::string>& problems() const { return problems_; }
  bool completed() const { return completed_; }

 private:
  bool Read(std::uint8_t& byte);
  void Answer(std::uint8_t byte);
  bool Silent(const char* phase);
  void Problem(std::string text);
  bool BootMode();
  bool BootProgram();
  bool Blocks();

  void NoteGap(std::vector<double>& gaps, std::chrono::steady_clock::time_point from);
  std::string GapSummary() const;

  PtyLine& line_;
  // How long the host paused after each chunk (from its 0x11 to its next byte) and after each
  // block (from the checksum's ACK to its next byte), in milliseconds.
  std::vector<double> chunk_gaps_ms_;
  std::vector<double> block_gaps_ms_;
  Faults faults_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::string> seen_;
  std::vector<std::string> problems_;
  bool completed_ = false;
  long chunks_ = 0;
  bool board_ = false;  ///< one of a fixture's boards: a silent fault waits for the host to let go
  std::chrono::steady_clock::time_point ready_;  ///< when the board was put on, in boot mode
};

}  // namespace devsim
