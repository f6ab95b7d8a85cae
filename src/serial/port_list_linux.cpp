// The port list on Linux: tty devices with a driver behind them, with what sysfs says of USB
// adapters, read under a root that tests replace.

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "serial/usb_text.h"

namespace quillon {

using namespace usb_text;

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
      if (device == info.device || fs::equivalent(device, info.device, error) ||
          std::find(info.by_id.begin(), info.by_id.end(), device) != info.by_id.end()) {
        info.com = com;
      }
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

std::string PortDeviceName(std::int32_t com, const std::map<int, std::string>& ports) {
  if (auto it = ports.find(com); it != ports.end()) return it->second;
  return "/dev/ttyS" + std::to_string(com - 1);
}

}  // namespace quillon
