// The port checks on Windows: whether the port exists, is held by another program, can be
// opened.

#include <windows.h>

#include "base/wide_text.h"
#include "serial/port_checks.h"

namespace quillon {

std::vector<PortFinding> CheckPort(const std::string& device, const PortCheckOptions&) {
  using K = PortFinding::Kind;
  auto finding = [&](K kind, bool ok) {
    PortFinding f;
    f.kind = kind;
    f.ok = ok;
    f.device = device;
    return f;
  };
  const std::wstring name = Widen(device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return {finding(K::kAccessible, true)};
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {finding(K::kMissing, false)};
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return {finding(K::kInUse, false)};
  PortFinding failed = finding(K::kDriverRefused, false);
  failed.value = std::to_string(error);
  return {failed};
}

}  // namespace quillon
