#pragma once
// A barcode scanner per fixture: a serial or USB-CDC scanner, or a keyboard-wedge one typing on
// the station's terminal. Each reader keeps the last code scanned (a new scan replaces one not
// yet taken) until its fixture's next board takes it.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "serial/comm_driver.h"
#include "station/events.h"

namespace quillon::station {

/// Where a scanner's bytes come from.
class ScanInput {
 public:
  virtual ~ScanInput() = default;
  /// Up to `milliseconds` for bytes; appends what came to `bytes`. False once the input cannot
  /// be read any more (unplugged, ended).
  virtual bool Read(std::string& bytes, int milliseconds) = 0;
};

/// A scanner on a serial port (9600 bit/s 8N1; a USB-CDC scanner ignores the rate), opened
/// through the platform's serial driver. Null when it cannot be opened at that rate (absent,
/// in use, no serial device).
std::unique_ptr<ScanInput> OpenSerialScanner(std::unique_ptr<CommDriver> driver, const std::string& device);

class ScanReader {
 public:
  /// Reads `input` on a thread of its own until destroyed; a line (ended by CR, LF or both) is
  /// a code, its spaces around it trimmed, an empty one ignored. `name` is how a warning names
  /// the scanner when it stops working.
  ScanReader(std::string port, std::string name, std::unique_ptr<ScanInput> input, EventStream& events);
  ~ScanReader();
  ScanReader(const ScanReader&) = delete;
  ScanReader& operator=(const ScanReader&) = delete;

  const std::string& port() const { return port_; }
  /// The code scanned and not taken yet, waiting up to `milliseconds` for one.
  std::optional<std::string> Take(int milliseconds);

 private:
  void Work();

  std::string port_, name_;
  std::unique_ptr<ScanInput> input_;
  EventStream& events_;
  std::mutex mutex_;
  std::condition_variable scanned_;
  std::optional<std::string> code_;
  bool ending_ = false;
  std::thread worker_;
};

}  // namespace quillon::station
