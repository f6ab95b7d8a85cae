#include <windows.h>

#include <filesystem>

#include "base/program_paths.h"
#include "records/network_fs.h"

namespace quillon::records {

std::optional<std::string> NetworkFileSystem(const std::string& path) {
  std::error_code failed;
  auto full = std::filesystem::absolute(Utf8Path(path), failed);
  if (failed) return std::nullopt;
  const std::wstring text = full.wstring();
  // \\server\share\... and \\?\UNC\server\share\...
  if (text.rfind(L"\\\\?\\UNC\\", 0) == 0 || (text.rfind(L"\\\\", 0) == 0 && text.rfind(L"\\\\?\\", 0) != 0 &&
                                             text.rfind(L"\\\\.\\", 0) != 0)) {
    return std::string("a network share (UNC path)");
  }
  const std::wstring root = full.root_path().wstring();
  if (!root.empty() && GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) return std::string("a network drive (SMB)");
  return std::nullopt;
}

}  // namespace quillon::records
