#pragma once
// The serial ports a person can pick.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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
/// On Linux the system's files are read under `root` (tests give a made-up tree).
std::vector<SerialPortInfo> ListSerialPorts(const std::map<int, std::string>& ports,
                                            const std::filesystem::path& root = "/");

/// What a Windows device instance id says of a USB adapter: "USB\VID_0403&PID_6001\A600XYZ"
/// (the serial number is the last part unless the system made that part up, with '&' in it)
/// or FTDI's own "FTDIBUS\VID_0403+PID_6001+A600XYZA\0000". Nothing for a device that is
/// not on USB.
struct UsbIds {
  std::string vid, pid;
  std::optional<std::string> serial;
};
std::optional<UsbIds> ParseUsbInstanceId(std::string_view instance_id);

/// True for a port expression "usb:VID:PID[:SERIAL]".
bool IsUsbExpression(std::string_view name);

/// The devices of the USB adapters that "usb:VID:PID[:SERIAL]" names (hex VID and PID, any
/// case; the serial number exactly), ordered by where they are plugged in (their by-path
/// name, so the order follows the sockets, not the order the system numbered them in). Empty
/// when none matches; `why` then says why (a malformed expression, or what is plugged in).
std::vector<std::string> MatchUsbPorts(std::string_view expression, const std::vector<SerialPortInfo>& ports,
                                       std::string& why);

}  // namespace quillon
