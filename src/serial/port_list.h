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
  std::optional<int> usb_interface;       ///< the USB interface number (a multi-port adapter has several)
  std::string usb_device;             ///< where the USB device sits (one per adapter, whatever its ports)
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

/// True for a port expression "usb:VID:PID[:SERIAL[:INTERFACE]]".
bool IsUsbExpression(std::string_view name);

/// What a "usb:" expression names.
struct UsbMatch {
  enum class Outcome {
    kFound,      ///< `devices` are the ports it names
    kMalformed,  ///< not usb:VID:PID[:SERIAL[:INTERFACE]] with four hex digits each for VID and PID
    kNoneFound,  ///< nothing plugged in matches
    kAmbiguous,  ///< a serial number that two different adapters report (cheap clones): `devices` are theirs
  };
  Outcome outcome = Outcome::kNoneFound;
  std::vector<std::string> devices;
  bool with_serial = false;     ///< the expression names a serial number
  bool with_interface = false;  ///< ... and an interface
};

/// The ports of the USB adapters that "usb:VID:PID[:SERIAL[:INTERFACE]]" names (hex VID and
/// PID, any case; the serial number exactly, and it may hold colons; the interface number as
/// the kernel gives it, "00" or "0" alike), ordered by where they are plugged in (their
/// by-path name, so the order follows the sockets, not the order the system numbered them
/// in). A serial number picks one adapter, never a guess between two; an interface picks one
/// port of a multi-port adapter.
UsbMatch MatchUsbPorts(std::string_view expression, const std::vector<SerialPortInfo>& ports);

/// Adapters (not ports: two interfaces of one adapter are one) that report the same VID, PID
/// and serial number, each group as its devices.
std::vector<std::vector<std::string>> SharedUsbSerialNumbers(const std::vector<SerialPortInfo>& ports);

/// One entry of a COM list that shows what each number opens.
struct ComChoice {
  int com = 0;
  std::string device;       ///< what it opens now (/dev/ttyUSB0), else the name it would open
  std::string description;  ///< the adapter's product name, when the system tells it
  bool found = false;       ///< the system has the port now
};
struct ComPlan {
  std::vector<ComChoice> entries;  ///< COM1 .. COM`max_com`
  std::map<int, std::string>
      added;  ///< new [Ports] entries: COM number -> by-id name of an adapter
};

/// COM1 to COM`max_com` with the device behind each, given the settings' [Ports] map and the
/// ports found (ListSerialPorts over the same map). A USB adapter that no number reaches yet
/// gets the lowest number that [Ports] does not give away and whose /dev/ttyS has no UART
/// behind it; it is named by its /dev/serial/by-id link (which stays with the adapter
/// whatever the system numbers it) when it has one.
ComPlan PlanComList(const std::map<int, std::string>& ports,
                    const std::vector<SerialPortInfo>& found, int max_com);

}  // namespace quillon
