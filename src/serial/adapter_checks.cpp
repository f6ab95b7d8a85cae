// The Windows checks of a COM port's USB adapter that the registry answers: found here from
// the registry's contents alone, so that they are the same on canned contents and a real
// machine's.

#include <algorithm>
#include <cctype>

#include "serial/port_checks.h"
#include "serial/registry.h"

namespace quillon {
namespace {

constexpr const char* kEnum = "SYSTEM\\CurrentControlSet\\Enum";
constexpr const char* kPowerSchemes = "SYSTEM\\CurrentControlSet\\Control\\Power\\User\\PowerSchemes";
// The power plan's "USB settings" group and its "USB selective suspend setting".
constexpr const char* kUsbSettings = "2a737441-1930-4402-8d77-b2bebba308a3";
constexpr const char* kSelectiveSuspend = "48e6b7a6-50f5-4782-a5d4-53bb8f07e226";
// The desktop program lists the ports up to this number.
constexpr int kDesktopListsUpTo = 99;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// "\\.\COM12" and "COM12" alike give "COM12".
std::string BareName(const std::string& device) {
  return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
}

// The four hex digits after `tag` ("VID_") in a device key's name.
std::string IdAfter(const std::string& name, const std::string& tag) {
  const auto at = Upper(name).find(tag);
  if (at == std::string::npos || at + tag.size() + 4 > name.size()) return "";
  return Upper(name.substr(at + tag.size(), 4));
}

std::string Join(const std::string& key, const std::string& sub) { return key + "\\" + sub; }

// The port's number (COM12: 12), or 0 for a name that is not COMn.
int ComNumber(const std::string& name) {
  const std::string upper = Upper(name);
  if (upper.rfind("COM", 0) != 0 || upper.size() < 4 || upper.size() > 6 ||
      upper.find_first_not_of("0123456789", 3) != std::string::npos) {
    return 0;
  }
  return std::stoi(upper.substr(3));
}

// The USB device key that carries the adapter's power settings: the adapter's own under USB,
// or for a port of FTDI's bus the USB device its serial number names
// (FTDIBUS\VID_0403+PID_6001+A1B2C3D4A: USB\VID_0403&PID_6001\A1B2C3D4).
std::vector<std::string> PowerKeys(const WindowsAdapter& adapter, const Registry& registry) {
  std::vector<std::string> keys{adapter.key};
  if (!adapter.ftdi_bus) return keys;
  const std::string device = adapter.key.substr(0, adapter.key.find_last_of('\\'));
  const std::string name = device.substr(device.find_last_of('\\') + 1);
  const auto serial_at = name.find('+', name.find('+') + 1);
  if (serial_at == std::string::npos) return keys;
  const std::string serial = Upper(name.substr(serial_at + 1));
  const std::string usb = Join(kEnum, "USB\\VID_" + adapter.vid + "&PID_" + adapter.pid);
  for (const auto& instance : registry.SubKeys(usb)) {
    if (!instance.empty() && serial.rfind(Upper(instance), 0) == 0) keys.push_back(Join(usb, instance));
  }
  return keys;
}

// The port as the Device Manager names it ("COM12"), which the words send a person to.
PortFinding Finding(const std::string& name, PortFinding::Kind kind, bool ok) {
  PortFinding f;
  f.device = name;
  f.kind = kind;
  f.ok = ok;
  f.blocking = false;
  return f;
}

}  // namespace

std::optional<WindowsAdapter> FindWindowsAdapter(const std::string& com, const Registry& registry) {
  for (const char* bus : {"FTDIBUS", "USB"}) {
    const std::string bus_key = Join(kEnum, bus);
    for (const auto& device : registry.SubKeys(bus_key)) {
      for (const auto& instance : registry.SubKeys(Join(bus_key, device))) {
        const std::string key = Join(Join(bus_key, device), instance);
        const auto port = registry.Text(Join(key, "Device Parameters"), "PortName");
        if (!port || Upper(*port) != Upper(com)) continue;
        return WindowsAdapter{key, std::string(bus) == "FTDIBUS", IdAfter(device, "VID_"), IdAfter(device, "PID_")};
      }
    }
  }
  return std::nullopt;
}

std::vector<PortFinding> CheckWindowsAdapter(const std::string& device, const Registry& registry) {
  std::vector<PortFinding> findings;
  const std::string name = BareName(device);
  if (const int number = ComNumber(name); number > 0) {
    auto f = Finding(name, number > kDesktopListsUpTo ? PortFinding::Kind::kComNumberAboveList
                                                        : PortFinding::Kind::kComNumberListed,
                     number <= kDesktopListsUpTo);
    f.value = std::to_string(kDesktopListsUpTo);
    findings.push_back(f);
  }
  const auto adapter = FindWindowsAdapter(name, registry);
  if (!adapter) return findings;

  // FTDI's driver holds each answer up to its latency timer (16 ms unless changed).
  const std::string parameters = Join(adapter->key, "Device Parameters");
  if (const auto latency = registry.Number(parameters, "LatencyTimer"); adapter->ftdi_bus && latency) {
    auto f = Finding(name, *latency > 1 ? PortFinding::Kind::kFtdiLatencyLong : PortFinding::Kind::kFtdiLatencyShort,
                     *latency <= 1);
    f.value = std::to_string(*latency);
    f.path = "HKLM\\" + parameters + "\\LatencyTimer";
    findings.push_back(f);
  }

  // Selective suspend: allowed for the device by its driver's settings, and by the power plan
  // (whose setting, when the plan does not name it, is Windows' default: enabled).
  std::string allowing;
  for (const auto& key : PowerKeys(*adapter, registry)) {
    for (const char* value : {"EnhancedPowerManagementEnabled", "SelectiveSuspendEnabled"}) {
      if (allowing.empty() && registry.Number(Join(key, "Device Parameters"), value).value_or(0) != 0) {
        allowing = "HKLM\\" + Join(Join(key, "Device Parameters"), value);
      }
    }
  }
  const auto scheme = registry.Text(kPowerSchemes, "ActivePowerScheme");
  const bool plan_allows =
      !scheme || registry.Number(Join(Join(Join(kPowerSchemes, *scheme), kUsbSettings), kSelectiveSuspend),
                                 "ACSettingIndex").value_or(1) != 0;
  auto suspend = Finding(name, !allowing.empty() && plan_allows ? PortFinding::Kind::kSuspendAllowed
                                                                  : PortFinding::Kind::kSuspendNotAllowed,
                         allowing.empty() || !plan_allows);
  suspend.path = allowing.empty() ? "HKLM\\" + parameters + "\\EnhancedPowerManagementEnabled" : allowing;
  findings.push_back(suspend);
  return findings;
}

}  // namespace quillon
