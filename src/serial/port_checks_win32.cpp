// The port checks on Windows: whether the system lists the port, whether its device's driver
// started (the Device Manager's problem code), whether it can be opened or is held.

#include <windows.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include "base/wide_text_win32.h"
#include "serial/port_checks.h"
#include "serial/registry.h"

namespace quillon {
namespace {

// "\\.\COM12" and "COM12" alike give "COM12".
std::string BareName(const std::string& device) { return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device; }

bool ListedInSerialComm(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  bool listed = false;
  for (DWORD i = 0; !listed; ++i) {
    wchar_t value_name[256], data[256] = {};
    DWORD name_size = 255, data_size = sizeof data - sizeof(wchar_t), type = 0;
    if (RegEnumValueW(key, i, value_name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_size) !=
        ERROR_SUCCESS) {
      break;
    }
    listed = type == REG_SZ && _wcsicmp(data, Widen(name).c_str()) == 0;
  }
  RegCloseKey(key);
  return listed;
}

// The ports-class device whose PortName is `name`, present or not: its problem code and name.
void DeviceNodeFacts(const std::string& name, WindowsPortFacts& facts) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    wchar_t port[64] = {};
    DWORD size = sizeof port - sizeof(wchar_t), type = 0;
    const bool named = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size) ==
                           ERROR_SUCCESS && type == REG_SZ && _wcsicmp(port, Widen(name).c_str()) == 0;
    RegCloseKey(key);
    if (!named) continue;
    ULONG status = 0, problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS && (status & DN_HAS_PROBLEM) != 0) {
      facts.problem = problem;
    }
    wchar_t friendly[512] = {};
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(friendly),
                                          sizeof friendly - sizeof(wchar_t), nullptr)) {
      facts.name = Narrow(friendly);
    }
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<PortFinding> CheckPort(const std::string& device, const PortCheckOptions& options) {
  const std::string name = BareName(device);
  WindowsPortFacts facts;
  // COM10 and above exist only under their device name: always open "\\.\COMn".
  const std::wstring path = Widen("\\\\.\\" + name);
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  } else {
    facts.open_error = GetLastError();
    facts.listed = ListedInSerialComm(name);
    DeviceNodeFacts(name, facts);
  }
  const auto registry = MachineRegistry();
  if (const auto adapter = FindWindowsAdapter(name, *registry)) {
    facts.vid = adapter->vid;
    facts.pid = adapter->pid;
  }
  auto findings = JudgeWindowsPort(device, facts);
  if (options.everything) {
    for (auto& f : CheckWindowsAdapter(device, *registry)) findings.push_back(std::move(f));
  }
  return findings;
}

}  // namespace quillon
