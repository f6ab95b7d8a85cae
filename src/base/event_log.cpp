#include "base/event_log.h"

#include <chrono>
#include <ctime>
#include <optional>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "base/wide_text.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/posix_call.h"
#endif

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
  std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::size_t n = std::strftime(text, sizeof text, "%y/%m/%d %H:%M:%S", &local);
  return std::string(text, n);
}

namespace {

// Tries `attempt` until it says yes or no, for at most `wait_ms`: another writer holds the
// log only for the length of one record.
template <typename Attempt>
bool WithinLockWait(int wait_ms, Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (const auto outcome = attempt(); outcome.has_value()) return *outcome;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

#ifdef _WIN32
bool AppendExclusively(const std::filesystem::path& path, const std::string& bytes, int wait_ms) {
  // Share mode 0: while the record is written nobody else holds the file.
  HANDLE file = INVALID_HANDLE_VALUE;
  const bool opened = WithinLockWait(wait_ms, [&]() -> std::optional<bool> {
    file = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return true;
    if (GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_LOCK_VIOLATION) return std::nullopt;
    return false;
  });
  if (!opened) return false;
  LARGE_INTEGER end{};
  bool ok = SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END) != 0;
  DWORD written = 0;
  ok = ok && WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
       written == bytes.size();
  // A torn record (a full disk) is cut off again: the next one must start a line of its own.
  if (!ok && written > 0 && SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
  return CloseHandle(file) && ok;
}
#else
bool AppendExclusively(const std::filesystem::path& path, const std::string& bytes, int wait_ms) {
  // Not blocking: a FIFO named as the log must not hold the update until someone reads it.
  const int fd = posix::Open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st {};
  if (posix::Fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    posix::Close(fd);
    return false;
  }
  bool ok = WithinLockWait(wait_ms, [&]() -> std::optional<bool> {
    if (posix::System().flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
    return false;
  });
  // The length before the record, taken under the lock: a torn record is cut back to it.
  struct stat before {};
  ok = ok && posix::Fstat(fd, &before) == 0;
  // One write of the whole line: with O_APPEND two writers never interleave inside it.
  ssize_t n = -1;
  if (ok) n = posix::Write(fd, bytes.data(), bytes.size());
  if (ok && n != static_cast<ssize_t>(bytes.size())) {
    // A full disk (or a size limit) took only the start of the record: the next record must
    // not be glued onto it.
    if (n > 0) posix::Ftruncate(fd, before.st_size);
    ok = false;
  }
  return posix::Close(fd) == 0 && ok;
}
#endif

}  // namespace

int EventLog::WriteLog(std::string_view file, int line, std::string_view message) const {
  if (path_.empty() || (stopped_by != nullptr && stopped_by->requested())) return 0;
  try {
    const std::string text = FormatLogRecord(LogTimeStamp(), file, line, message);
#ifdef _WIN32
    // The log is a text file of the system's code page, as the settings file is.
    std::string record = ToAnsiCodePage(text);
#else
    std::string record = text;
#endif
    record.push_back('\n');
    const int wait_ms = failing_->load() ? 0 : kLockWaitMs;
    bool written = AppendExclusively(path_, record, wait_ms);
    if (std::error_code error; !written && make_folder && !std::filesystem::exists(path_.parent_path(), error) &&
                               std::filesystem::create_directories(path_.parent_path(), error)) {
      written = AppendExclusively(path_, record, wait_ms);
    }
    failing_->store(!written);
    if (written) return 1;
    if (on_unwritten) on_unwritten(text);
    return 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace quillon
