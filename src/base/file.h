#pragma once
// File access that differs between the platforms, one file each (file_posix.cpp,
// file_win32.cpp): the log's exclusive append, the local time, the descriptors the output
// queues write to, and whether a path may be written.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

/// Appends `bytes` to the regular file `path` (made when missing) in one write while holding
/// it exclusively, trying up to `wait_ms` for another writer to let go; never waits on a FIFO.
/// A write that takes only part of the bytes (a full disk) is cut back: the file ends where it
/// ended before. True when every byte was written.
bool AppendExclusively(const std::filesystem::path& path, std::string_view bytes, int wait_ms);

/// The local time of `when`.
std::tm LocalTime(std::time_t when);

/// A log record's bytes as the log file holds them: the system's code page on Windows (the
/// settings file's too), UTF-8 elsewhere.
std::string LogFileBytes(const std::string& utf8);

/// Opens `path` (UTF-8), made anew, for writing; never waits (a FIFO put there since the
/// name was checked). -1 when it cannot.
int OpenNewFile(const std::string& path);
/// Writes all of `text` to descriptor `fd`; false once it takes no more (the reader went
/// away, the disk is full).
bool WriteAll(int fd, std::string_view text);
void CloseFile(int fd);

/// Whether descriptor `fd` takes a write of up to kAtomicWrite bytes without waiting: kNotYet
/// once `limit` passed without it (a reader that does not read), kFailed when it never will.
/// Windows cannot tell for its pipes and consoles and always answers kReady.
enum class WriteReady { kReady, kNotYet, kFailed };
WriteReady WaitWritable(int fd, std::chrono::milliseconds limit);
/// A write no larger than this to a pipe that is ready goes whole without waiting (PIPE_BUF).
inline constexpr std::size_t kAtomicWrite = 4096;

/// The calling thread, as one whose blocked write another thread can call off: where
/// WaitWritable cannot tell (Windows), a writer whose reader never reads would otherwise hold
/// its owner's end for good. Made on the writing thread; Cancel from any thread.
class WritingThread {
 public:
  WritingThread();
  ~WritingThread();
  WritingThread(const WritingThread&) = delete;
  WritingThread& operator=(const WritingThread&) = delete;
  /// Calls off the write the thread is blocked in, if any (its write then fails).
  void Cancel();

 private:
  void* handle_ = nullptr;
};

/// Which file a path leads to: its device and its number on that device (inode; on Windows the
/// volume's serial number and the file's index), so that a file deleted or replaced under its
/// name is told from the one that was opened. Nothing when the path leads nowhere.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t number = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentifyFile(const std::filesystem::path& path);

/// Whether this user may write `path` (a file or a folder).
bool MayWritePath(const std::filesystem::path& path);

}  // namespace quillon
