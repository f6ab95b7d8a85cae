#include "base/event_log.h"

#include <ctime>

#include "base/file.h"

namespace quillon {

std::string EscapeControlCharacters(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      shown += "\\x";
      shown += kDigits[byte >> 4];
      shown += kDigits[byte & 0xF];
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string FormatLogRecord(std::string_view time_stamp, std::string_view file, int line,
                            std::string_view message) {
  std::string record;
  record.reserve(time_stamp.size() + file.size() + message.size() + 24);
  record.append(time_stamp).append("  File:").append(file);
  record.append("(").append(std::to_string(line)).append(") :").append(EscapeControlCharacters(message));
  return record;
}

std::string LogTimeStamp() {
  const std::time_t now = std::time(nullptr);
  const std::tm local = LocalTime(now);
  char text[32];
  std::size_t n = std::strftime(text, sizeof text, "%y/%m/%d %H:%M:%S", &local);
  return std::string(text, n);
}

int EventLog::WriteLog(std::string_view file, int line, std::string_view message) const {
  const LogParts& p = parts_;
  if (path_.empty() || p.silence.silent() || (p.stopped_by != nullptr && p.stopped_by->requested())) return 0;
  std::string text;
  try {
    text = FormatLogRecord(LogTimeStamp(), file, line, message);
    if (p.on_record) p.on_record(text);
    std::string record = LogFileBytes(text);
    record.push_back('\n');
    const int wait_ms = failing_->load() ? 0 : kLockWaitMs;
    bool written = AppendExclusively(path_, record, wait_ms);
    if (std::error_code error; !written && p.make_folder && !std::filesystem::exists(path_.parent_path(), error) &&
                               std::filesystem::create_directories(path_.parent_path(), error)) {
      written = AppendExclusively(path_, record, wait_ms);
    }
    failing_->store(!written);
    if (written) return 1;
  } catch (...) {
    // Whatever went wrong on the way (no memory, a path that cannot be converted, a
    // subscriber that threw), the record goes back to the caller rather than nowhere.
    failing_->store(true);
  }
  if (p.on_unwritten) {
    try {
      p.on_unwritten(text.empty() ? std::string(message) : text);
    } catch (...) {
    }
  }
  return 0;
}

}  // namespace quillon
