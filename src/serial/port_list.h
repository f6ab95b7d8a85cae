#pragma once
// The serial ports a person can pick.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

struct SerialPortInfo {
  std::string device;                 ///< /dev/ttyUSB0, \\.\COM3
  std::optional<int> com;             ///< the COM number that opens it
  std::vector<std::string> by_id;     ///< /dev/serial/by-id names
  std::vector<std::string> by_path;   ///< /dev/serial/by-path names
  std::optional<std::string> vid, pid, serial, description;
};

/// On Linux: tty devices with a driver, skipping the legacy platform UARTs that have no
/// hardware behind them; on Windows: the COM ports the system has. `ports` is the settings'
/// [Ports] map, which decides the COM number of a device it names.
std::vector<SerialPortInfo> ListSerialPorts(const std::map<int, std::string>& ports);

}  // namespace quillon
