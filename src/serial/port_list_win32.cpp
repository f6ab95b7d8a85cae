// The port list on Windows: the COM ports the system has, with what SetupAPI says of USB
// adapters.

#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include "base/wide_text_win32.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"

namespace quillon {

namespace {

std::optional<std::string> RegistryText(HKEY key, const wchar_t* name) {
  wchar_t value[256] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  return Narrow(value);
}

std::optional<std::string> DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t value[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, reinterpret_cast<BYTE*>(value),
                                         sizeof value - sizeof(wchar_t), nullptr)) {
    return std::nullopt;
  }
  return Narrow(value);
}

// The ports class through SetupAPI: COM name, USB ids from the instance id, and where the
// adapter is plugged in.
void AddUsbFacts(std::vector<SerialPortInfo>& list) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    std::optional<std::string> port_name;
    if (HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        key != INVALID_HANDLE_VALUE) {
      port_name = RegistryText(key, L"PortName");
      RegCloseKey(key);
    }
    wchar_t instance[512] = {};
    if (!port_name || !SetupDiGetDeviceInstanceIdW(set, &device, instance, 511, nullptr)) continue;
    const auto ids = ParseUsbInstanceId(Narrow(instance));
    for (auto& info : list) {
      if (info.device != "\\\\.\\" + *port_name || !ids) continue;
      info.vid = ids->vid;
      info.pid = ids->pid;
      info.serial = ids->serial;
      if (auto name = DeviceProperty(set, device, SPDRP_FRIENDLYNAME)) info.description = name;
      if (auto where = DeviceProperty(set, device, SPDRP_LOCATION_INFORMATION)) info.by_path = {*where};
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::map<int, std::string>&, const std::filesystem::path&) {
  std::vector<SerialPortInfo> list;
  char target[1024];
  for (int n = 1; n <= 255; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) continue;
    SerialPortInfo info;
    info.device = "\\\\.\\" + name;
    info.com = n;
    info.description = std::string(target);
    list.push_back(std::move(info));
  }
  AddUsbFacts(list);
  return list;
}

std::string PortDeviceName(std::int32_t com, const std::map<int, std::string>&) {
  return "\\\\.\\COM" + std::to_string(com);
}

}  // namespace quillon
