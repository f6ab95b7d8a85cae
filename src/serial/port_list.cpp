#include "serial/port_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace quillon {

#ifdef _WIN32
std::vector<SerialPortInfo> ListSerialPorts(const std::map<int, std::string>&) {
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

std::vector<std::string> LinksTo(const fs::path& folder, const fs::path& device) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (fs::equivalent(entry.path(), device, error)) names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::map<int, std::string>& ports) {
  std::vector<SerialPortInfo> list;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", error)) {
    const fs::path sys = entry.path();
    if (!fs::exists(sys / "device", error)) continue;
    const std::string name = sys.filename().string();
    const fs::path subsystem = fs::read_symlink(sys / "device" / "subsystem", error);
    // The kernel lists legacy 8250 UARTs that have no hardware behind them as platform devices.
    if (!error && subsystem.filename() == "platform") continue;
    SerialPortInfo info;
    info.device = "/dev/" + name;
    info.by_id = LinksTo("/dev/serial/by-id", info.device);
    info.by_path = LinksTo("/dev/serial/by-path", info.device);
    // USB details live on the USB device, a few levels above the interface.
    fs::path usb = fs::canonical(sys / "device", error);
    for (int up = 0; up < 4 && !error && !usb.empty(); ++up, usb = usb.parent_path()) {
      if (fs::exists(usb / "idVendor", error)) {
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
      if (fs::equivalent(device, info.device, error)) info.com = com;
    }
    if (!info.com && info.device.rfind("/dev/ttyS", 0) == 0) {
      const std::string digits = info.device.substr(9);
      if (!digits.empty() && std::all_of(digits.begin(), digits.end(), ::isdigit)) info.com = std::stoi(digits) + 1;
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

}  // namespace quillon
