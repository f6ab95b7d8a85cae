#pragma once
// The serial port of an update: opened at 19200 bit/s, a read that never waits, a write that
// returns once its bytes are on the line. Every failure but a failed write leaves one record
// in the event log.

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "base/event_log.h"
#include "serial/comm_driver.h"

namespace quillon {

class SerialPort {
 public:
  /// The driver and the log must outlive the port.
  SerialPort(CommDriver& driver, const EventLog& log) : driver_(driver), log_(log) {}
  ~SerialPort() { ClosePort(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  /// Closes a port still open, then opens `device` at 19200 bit/s with 1000 ms time-outs.
  /// Returns 1, or 0 with the port closed.
  int OpenPort(const std::string& device);
  /// 4800, 9600, 38400, 57600 and 115200 are kept, any other rate becomes 19200; 8N1, no
  /// flow control. Returns 0 when the driver refuses (the record names the rate asked for).
  int SetBaudrate(std::int32_t rate);
  int RecvTimeOut(std::uint32_t milliseconds);
  int SendTimeOut(std::uint32_t milliseconds);
  /// Takes what is waiting, at most buffer.size() bytes; the rest stays queued. Returns the
  /// count, 0 when nothing was waiting (buffer untouched) or after a parity error (bytes
  /// dropped), -1 after any other line error (nothing read) or a failed read.
  int ReadCom(std::span<std::uint8_t> buffer);
  /// Waits until bytes are waiting, the line has failed or `milliseconds` have passed, and
  /// returns as soon as one of them holds; reads nothing and writes no record.
  InputWait WaitForInput(int milliseconds);
  /// True when the last ReadCom could not read at all because the line is gone (its record
  /// " ReadCom() : ReadFile() Error" is written); a line error flagged on a live line is not.
  bool LineGone() const { return line_gone_; }
  /// True when the last ReadCom left bytes in the driver's queue: a flagged line error keeps
  /// them there, and a read takes no more than its buffer holds.
  bool InputLeftQueued() const { return left_queued_; }
  /// Writes and drains. Returns the bytes the driver wrote; 0 for a closed port or no bytes.
  int WriteCom(std::span<const std::uint8_t> bytes);
  void ClosePort();
  bool IsOpen() const { return driver_.IsOpen(); }
  const std::string& Device() const { return device_; }

 private:
  CommDriver& driver_;
  const EventLog& log_;
  std::string device_;
  bool line_gone_ = false;
  bool left_queued_ = false;
};

/// The record a port that cannot be opened leaves, the same whether OpenPort found it or a
/// check before the update did (which then never touches the line).
void LogOpenError(const EventLog& log, const std::string& device);

/// The device that COM port `com` stands for: "\\.\COMn" on Windows; elsewhere the device the
/// settings' [Ports] map names, or /dev/ttyS(n-1), the convention Wine follows too.
std::string PortDeviceName(std::int32_t com, const std::map<int, std::string>& ports);

}  // namespace quillon
