#include "serial/port_list.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "serial/serial_port.h"
#include "serial/usb_text.h"

namespace quillon {

using namespace usb_text;


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

ComPlan PlanComList(const std::map<int, std::string>& ports,
                    const std::vector<SerialPortInfo>& found, int max_com) {
  ComPlan plan;
  std::map<int, std::string> numbers = ports;
  std::map<int, const SerialPortInfo*> behind;
  for (const auto& info : found) {
    if (info.com) behind[*info.com] = &info;
  }
  for (const auto& info : found) {
    if (info.com || !info.vid) continue;
    for (int n = 1; n <= max_com; ++n) {
      if (numbers.count(n) == 0 && behind.count(n) == 0) {
        const std::string name = info.by_id.empty() ? info.device : info.by_id.front();
        numbers[n] = plan.added[n] = name;
        behind[n] = &info;
        break;
      }
    }
  }
  for (int n = 1; n <= max_com; ++n) {
    ComChoice choice{n, PortDeviceName(n, numbers), {}, false};
    if (const auto it = behind.find(n); it != behind.end()) {
      choice.device = it->second->device;
      choice.description = it->second->description.value_or("");
      choice.found = true;
    }
    plan.entries.push_back(std::move(choice));
  }
  return plan;
}

}  // namespace quillon
