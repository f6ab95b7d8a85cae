#pragma once
// File access that differs between the platforms, one file each (file_posix.cpp,
// file_win32.cpp): the log's exclusive append, the local time, the descriptors the output
// queues write to, and whether a path may be written.

#include <ctime>
#include <filesystem>
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

/// Whether this user may write `path` (a file or a folder).
bool MayWritePath(const std::filesystem::path& path);

}  // namespace quillon
