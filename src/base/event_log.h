#pragma once
// The failure log: one line per failure, appended to a file that is opened and closed for
// every record.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/seams.h"

namespace quillon {

/// A part of a log that silences it while a hold lives: a station's fixture that probes an
/// empty line all day has nothing to report. Copies share the holds.
class LogSilence {
 public:
  class Hold {
   public:
    explicit Hold(std::shared_ptr<std::atomic<int>> holds) : holds_(std::move(holds)) { ++*holds_; }
    ~Hold() { --*holds_; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    std::shared_ptr<std::atomic<int>> holds_;
  };
  [[nodiscard]] Hold Silence() const { return Hold(holds_); }
  bool silent() const { return holds_->load() > 0; }

 private:
  std::shared_ptr<std::atomic<int>> holds_ = std::make_shared<std::atomic<int>>(0);
};

/// What a log does besides appending its records, chosen when it is made.
struct LogParts {
  /// Given every record that could not be written; the command line prints it.
  std::function<void(const std::string& record)> on_unwritten = {};
  /// Once this stop is requested no record is written: a run stopped on purpose fails
  /// because of the stop, not because of the device (the stop has a record of its own).
  const StopFlag* stopped_by = nullptr;
  /// The log's folder is made when it is missing (an installed copy's state folder).
  bool make_folder = false;
  /// Shown every record (without its line feed) before it is written: a station keeps each
  /// unit's records with the unit.
  std::function<void(const std::string& record)> on_record = {};
  /// No record is written while it is held.
  LogSilence silence = {};
};

class EventLog {
 public:
  EventLog() = default;
  explicit EventLog(std::filesystem::path path, LogParts parts = {})
      : path_(std::move(path)), parts_(std::move(parts)) {}

  /// Appends "<time>  File:<file>(<line>) :<message>" and one 0x0A, as one write while the
  /// file is held exclusively, to a regular file only (never waiting on a FIFO). A file that
  /// another writer holds is tried again for up to kLockWaitMs (records are written inside
  /// the protocol's waits, so not longer); once a record was not written, the next ones are
  /// tried once without waiting until one gets through, so a log held for good costs a wait
  /// one bound, not one bound per record. A record is written whole or not at all. Returns 1
  /// when the whole record was written, 0 otherwise; then the record (without its line
  /// feed) goes to `on_unwritten` when set.
  int WriteLog(std::string_view file, int line, std::string_view message) const;

  static constexpr int kLockWaitMs = 500;

  const std::filesystem::path& Path() const { return path_; }
  const LogParts& parts() const { return parts_; }

 private:
  std::filesystem::path path_;
  LogParts parts_;
  /// The last record was not written (shared by copies of this log).
  std::shared_ptr<std::atomic<bool>> failing_ = std::make_shared<std::atomic<bool>>(false);
};

/// The one way code reports a failure: the record names the statement that calls it.
inline int LogFailure(const EventLog& log, std::string_view message,
                      const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  return log.WriteLog(file, line, message);
}

/// The text with its control characters shown, so that it stays on one line and sends no
/// escape sequence to a terminal: CR as \r, LF as \n, other bytes below 0x20 and 0x7F as
/// \xHH. Everything else, backslashes included, stays as it is.
std::string EscapeControlCharacters(std::string_view text);

/// The record text without its line feed; the time stamp is "%y/%m/%d %H:%M:%S". The message
/// goes in with its control characters escaped: a record is one line, whatever a path or a
/// port name holds.
std::string FormatLogRecord(std::string_view time_stamp, std::string_view file, int line,
                            std::string_view message);

/// The local time now, as the log's time stamp.
std::string LogTimeStamp();

}  // namespace quillon
