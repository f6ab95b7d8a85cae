#pragma once
// A made-up /sys and /dev for the Linux port list, under a fresh folder.

#include <algorithm>
#include <filesystem>
#include <string>

#include "testing/temp_dir.h"

namespace quillon::testing {

namespace fs = std::filesystem;

// A made-up /sys and /dev as Linux lays them out for USB serial adapters: the tty's class
// entry links to the adapter's interface; the USB device above it holds the ids.
class FakeSystem {
 public:
  /// With a product name, the adapter also gets its /dev/serial/by-id link, as udev makes it.
  void Adapter(const std::string& tty, int socket, const std::string& vid, const std::string& pid,
               const std::string& serial, int interface = 0, const std::string& product = {}) {
    const fs::path usb = dir_ / "sys/devices/pci0000:00/usb1" / ("1-" + std::to_string(socket));
    const std::string interface_name =
        "1-" + std::to_string(socket) + ":1." + std::to_string(interface);
    const fs::path port = usb / interface_name / tty;
    fs::create_directories(port);
    dir_.Write(fs::relative(usb / interface_name / "bInterfaceNumber", dir_.path()).string(),
               "0" + std::to_string(interface) + "\n");
    dir_.Write(fs::relative(usb / "idVendor", dir_.path()).string(), vid + "\n");
    dir_.Write(fs::relative(usb / "idProduct", dir_.path()).string(), pid + "\n");
    dir_.Write(fs::relative(usb / "serial", dir_.path()).string(), serial + "\n");
    Tty(tty, port, "usb-serial");
    fs::create_directories(dir_ / "dev/serial/by-path");
    fs::create_symlink("../../" + tty, dir_ / "dev/serial/by-path" /
                                           ("pci-0000:00:14.0-usb-0:" + std::to_string(socket) +
                                            ":1." + std::to_string(interface) + "-port0"));
    if (!product.empty()) {
      dir_.Write(fs::relative(usb / "product", dir_.path()).string(), product + "\n");
      fs::create_directories(dir_ / "dev/serial/by-id");
      fs::create_symlink("../../" + tty,
                         dir_ / "dev/serial/by-id" / ById(product, serial, interface));
    }
  }
  /// The /dev/serial/by-id path udev gives such an adapter.
  static std::string ById(const std::string& product, const std::string& serial,
                          int interface = 0) {
    std::string name =
        "usb-" + product + "_" + serial + "-if0" + std::to_string(interface) + "-port0";
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
  }
  void Tty(const std::string& tty, const fs::path& device, const std::string& subsystem) {
    fs::create_directories(dir_ / "sys/bus" / subsystem);
    fs::create_directories(dir_ / "sys/class/tty" / tty);
    fs::create_directories(device);
    fs::create_symlink(device, dir_ / "sys/class/tty" / tty / "device");
    fs::create_symlink(dir_ / "sys/bus" / subsystem, device / "subsystem");
    fs::create_directories(dir_ / "dev");
    dir_.Write("dev/" + tty, "");
  }
  const fs::path& root() const { return dir_.path(); }

 private:
  TempDir dir_;
};

}  // namespace quillon::testing
