#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "base/file.h"
#include "base/lock_wait.h"
#include "base/program_paths.h"
#include "base/wide_text_win32.h"

namespace quillon {

bool AppendExclusively(const std::filesystem::path& path, std::string_view bytes, int wait_ms) {
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

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  localtime_s(&local, &when);
  return local;
}

// The log is a text file of the system's code page, as the settings file is.
std::string LogFileBytes(const std::string& utf8) { return ToAnsiCodePage(utf8); }

int OpenNewFile(const std::string& path) {
  return ::_wopen(Utf8Path(path).wstring().c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool WriteAll(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const int n = ::_write(fd, text.data() + done, static_cast<unsigned>(text.size() - done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void CloseFile(int fd) { ::_close(fd); }

WriteReady WaitWritable(int, std::chrono::milliseconds) { return WriteReady::kReady; }

WritingThread::WritingThread() {
  HANDLE self = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, THREAD_TERMINATE, FALSE, 0)) {
    handle_ = self;
  }
}

WritingThread::~WritingThread() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

void WritingThread::Cancel() {
  if (handle_ != nullptr) CancelSynchronousIo(static_cast<HANDLE>(handle_));
}

std::optional<FileIdentity> IdentifyFile(const std::filesystem::path& path) {
  // Shared every way, so that a station's own open database is identified too.
  const HANDLE file = ::CreateFileW(path.wstring().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = ::GetFileInformationByHandle(file, &info) != 0;
  ::CloseHandle(file);
  if (!known) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool MayWritePath(const std::filesystem::path& path) { return _waccess(path.wstring().c_str(), 2) == 0; }

}  // namespace quillon
