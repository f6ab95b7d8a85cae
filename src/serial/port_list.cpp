#include "serial/port_list.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include "base/wide_text.h"
#endif

namespace quillon {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool IsInterfaceNumber(std::string_view text) {
  return !text.empty() && text.size() <= 2 &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

bool IsHexId(std::string_view text) {
  return text.size() == 4 && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

#ifdef _WIN32
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
#else
namespace fs = std::filesystem;

namespace {

std::optional<std::string> ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

// The links in root/folder that lead to root/device, named as the system names them.
std::vector<std::string> LinksTo(const fs::path& root, const std::string& folder, const std::string& device) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / folder.substr(1), error)) {
    if (fs::equivalent(entry.path(), root / device.substr(1), error)) {
      names.push_back(folder + "/" + entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::map<int, std::string>& ports, const fs::path& root) {
  std::vector<SerialPortInfo> list;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "sys/class/tty", error)) {
    const fs::path sys = entry.path();
    if (!fs::exists(sys / "device", error)) continue;
    const std::string name = sys.filename().string();
    const fs::path subsystem = fs::read_symlink(sys / "device" / "subsystem", error);
    // The kernel lists legacy 8250 UARTs that have no hardware behind them as platform devices.
    if (!error && subsystem.filename() == "platform") continue;
    SerialPortInfo info;
    info.device = "/dev/" + name;
    info.by_id = LinksTo(root, "/dev/serial/by-id", info.device);
    info.by_path = LinksTo(root, "/dev/serial/by-path", info.device);
    // USB details live on the USB device, a few levels above the interface.
    fs::path usb = fs::canonical(sys / "device", error);
    for (int up = 0; up < 4 && !error && !usb.empty(); ++up, usb = usb.parent_path()) {
      if (!info.usb_interface && fs::exists(usb / "bInterfaceNumber", error)) {
        if (const auto number = ReadLine(usb / "bInterfaceNumber"); number && IsInterfaceNumber(*number)) {
          info.usb_interface = std::stoi(*number, nullptr, 16);
        }
      }
      if (fs::exists(usb / "idVendor", error)) {
        info.usb_device = usb.string();
        info.vid = ReadLine(usb / "idVendor");
        info.pid = ReadLine(usb / "idProduct");
        info.serial = ReadLine(usb / "serial");
        info.description = ReadLine(usb / "product");
        break;
      }
    }
    list.push_back(std::move(info));
  }
  // The COM number: a [Ports] entry naming the device, else the /dev/ttyS(n-1) convention.
  for (auto& info : list) {
    for (const auto& [com, device] : ports) {
      if (device == info.device || fs::equivalent(device, info.device, error)) info.com = com;
    }
    if (!info.com && info.device.rfind("/dev/ttyS", 0) == 0) {
      // The number --port COMn opens: unless [Ports] gives COMn to another device.
      const std::string digits = info.device.substr(9);
      if (!digits.empty() && digits.size() < 4 && std::all_of(digits.begin(), digits.end(), ::isdigit) &&
          ports.count(std::stoi(digits) + 1) == 0) {
        info.com = std::stoi(digits) + 1;
      }
    }
  }
  // Devices that only the [Ports] map names (a simulated device's link, say) are listed too.
  for (const auto& [com, device] : ports) {
    const bool listed = std::any_of(list.begin(), list.end(), [&](const auto& i) { return i.com == com; });
    if (!listed && fs::exists(device, error)) {
      SerialPortInfo info;
      info.device = device;
      info.com = com;
      info.description = "named in [Ports]";
      list.push_back(std::move(info));
    }
  }
  std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.device < b.device; });
  return list;
}
#endif

std::optional<UsbIds> ParseUsbInstanceId(std::string_view id) {
  // The bus, then the hardware part, then the instance part, separated by backslashes.
  const auto first = id.find('\\');
  const auto second = first == std::string_view::npos ? first : id.find('\\', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::string_view hardware = id.substr(first + 1, second - first - 1);
  const std::string_view instance = id.substr(second + 1);
  auto field = [&](std::string_view key) -> std::string {
    const auto at = hardware.find(key);
    if (at == std::string_view::npos || hardware.size() < at + key.size() + 4) return {};
    return Lower(hardware.substr(at + key.size(), 4));
  };
  UsbIds ids{field("VID_"), field("PID_"), std::nullopt};
  if (!IsHexId(ids.vid) || !IsHexId(ids.pid)) return std::nullopt;
  if (const auto plus = hardware.find('+', hardware.find("PID_")); plus != std::string_view::npos) {
    ids.serial = std::string(hardware.substr(plus + 1));  // FTDI: VID_xxxx+PID_xxxx+SERIAL
  } else if (!instance.empty() && instance.find('&') == std::string_view::npos) {
    ids.serial = std::string(instance);
  }
  return ids;
}

bool IsUsbExpression(std::string_view name) { return name.substr(0, 4) == "usb:"; }


namespace {

std::vector<const SerialPortInfo*> Matching(const std::vector<SerialPortInfo>& ports, std::string_view vid,
                                            std::string_view pid, const std::optional<std::string_view>& serial,
                                            const std::optional<int>& usb_interface) {
  std::vector<const SerialPortInfo*> found;
  for (const auto& port : ports) {
    if (port.vid && port.pid && Lower(*port.vid) == Lower(vid) && Lower(*port.pid) == Lower(pid) &&
        (!serial || (port.serial && *port.serial == *serial)) && (!usb_interface || port.usb_interface == usb_interface)) {
      found.push_back(&port);
    }
  }
  return found;
}

}  // namespace

UsbMatch MatchUsbPorts(std::string_view expression, const std::vector<SerialPortInfo>& ports) {
  UsbMatch match;
  // usb:VID:PID, usb:VID:PID:SERIAL or usb:VID:PID:SERIAL:INTERFACE.
  const std::string_view ids = expression.substr(4);
  const auto first = ids.find(':');
  const auto second = first == std::string_view::npos ? first : ids.find(':', first + 1);
  const std::string_view vid = ids.substr(0, first);
  const std::string_view pid = first == std::string_view::npos ? std::string_view() : ids.substr(first + 1, second - first - 1);
  match.with_serial = second != std::string_view::npos;
  std::string_view serial = match.with_serial ? ids.substr(second + 1) : std::string_view();
  if (!IsHexId(vid) || !IsHexId(pid) || (match.with_serial && serial.empty())) {
    match.outcome = UsbMatch::Outcome::kMalformed;
    return match;
  }
  std::optional<std::string_view> wanted_serial;
  if (match.with_serial) wanted_serial = serial;
  std::optional<int> usb_interface;
  auto found = Matching(ports, vid, pid, wanted_serial, usb_interface);
  // A serial number may hold colons: the last part is an interface only when the whole
  // rest is no adapter's serial number.
  if (const auto colon = serial.rfind(':'); found.empty() && colon != std::string_view::npos && colon > 0 &&
                                            IsInterfaceNumber(serial.substr(colon + 1))) {
    usb_interface = std::stoi(std::string(serial.substr(colon + 1)), nullptr, 16);
    wanted_serial = serial.substr(0, colon);
    match.with_interface = true;
    found = Matching(ports, vid, pid, wanted_serial, usb_interface);
  }
  // By socket: the by-path name where there is one (those without come last, by device).
  std::sort(found.begin(), found.end(), [](const SerialPortInfo* a, const SerialPortInfo* b) {
    if (a->by_path.empty() != b->by_path.empty()) return !a->by_path.empty();
    if (!a->by_path.empty() && a->by_path.front() != b->by_path.front()) return a->by_path.front() < b->by_path.front();
    return a->device < b->device;
  });
  for (const auto* port : found) match.devices.push_back(port->device);
  if (found.empty()) {
    match.outcome = UsbMatch::Outcome::kNoneFound;
    return match;
  }
  // A serial number names one adapter: two adapters with it are clones, and neither is picked.
  const bool two_adapters = std::any_of(found.begin(), found.end(), [&](const SerialPortInfo* p) {
    return p->usb_device != found.front()->usb_device || p->usb_device.empty();
  }) && found.size() > 1;
  match.outcome = match.with_serial && two_adapters ? UsbMatch::Outcome::kAmbiguous : UsbMatch::Outcome::kFound;
  return match;
}

std::vector<std::vector<std::string>> SharedUsbSerialNumbers(const std::vector<SerialPortInfo>& ports) {
  std::map<std::string, std::map<std::string, std::vector<std::string>>> adapters;  // ids -> usb device -> ports
  for (const auto& port : ports) {
    if (!port.vid || !port.pid || !port.serial || port.serial->empty()) continue;
    const std::string ids = Lower(*port.vid) + ":" + Lower(*port.pid) + ":" + *port.serial;
    adapters[ids][port.usb_device.empty() ? port.device : port.usb_device].push_back(port.device);
  }
  std::vector<std::vector<std::string>> shared;
  for (const auto& [ids, devices] : adapters) {
    if (devices.size() < 2) continue;
    std::vector<std::string> group;
    for (const auto& [usb, names] : devices) group.insert(group.end(), names.begin(), names.end());
    std::sort(group.begin(), group.end());
    shared.push_back(std::move(group));
  }
  return shared;
}

}  // namespace quillon
