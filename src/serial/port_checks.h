#pragma once
// What will stop an update on a port, found before anything is sent, as facts: each finding
// says which check it is, what it found and the details that go with it (a group, a process,
// a value). The sentences and fixes a person reads are written by the program that shows
// them. The system's files (/proc, /sys, /run/udev, the package list) are read under a root
// folder that tests replace with a made-up tree.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon {

struct PortFinding {
  /// What was found. The check a finding belongs to follows from it (CheckOf).
  enum class Kind {
    kExists, kMissing,                                          // port.exists
    kSerialDevice, kNotCharacterDevice, kNotTerminal,           // port.serial
    kAccessible, kAccessibleThroughSeat, kNoPermission, kOpenFailed, kDriverRefused,  // port.access
    kNotHeld, kHeld, kHeldUnseen, kInUse,                       // port.holder
    kSeatOnly,                                                  // port.seat
    kNotConsole, kConsole, kLoginPrompt,                        // port.console
    kModemManagerAbsent, kModemManagerLeavesAlone, kModemManagerProbes, kModemManagerTooOld,  // port.modemmanager
    kBrlttyAbsent, kBrlttyNotUsb, kBrlttyRuns,                  // port.brltty
    kBrlttyRulesNone, kBrlttyRulesClaim,                        // brltty.udev
    kLatencyTimerShort, kLatencyTimerLong,                      // usb.latency_timer
    kLowLatencySettable, kLowLatencyRefused,                    // port.low_latency
    kDriverProblem, kDriverRefusesChip,                         // port.driver (Windows)
    kFtdiLatencyShort, kFtdiLatencyLong,                        // usb.latency_timer (Windows)
    kSuspendNotAllowed, kSuspendAllowed,                        // usb.selective_suspend (Windows)
    kComNumberListed, kComNumberAboveList,                      // port.com_number (Windows)
  };
  struct Process {
    std::string pid, command;
  };

  Kind kind = Kind::kExists;
  bool ok = true;
  bool blocking = true;  ///< false: advice, which never fails a run
  std::string device;    ///< the port as it was named
  std::string tty;       ///< its kernel name ("ttyUSB0", "pts/3")
  std::string group;     ///< the group that owns the device
  std::vector<Process> processes;  ///< holders, a getty, ModemManager, brltty
  std::string version;   ///< ModemManager's, when the package list has it
  std::string value;     ///< the latency timer's value; the open error's text; the Windows error code
  std::string path;      ///< the latency timer's file
  std::vector<std::string> adapters;  ///< "vid:pid (name)" that brltty's rules claim
  unsigned long code = 0;  ///< Windows: the open error, or the device's problem code (Device Manager's "Code N")
  bool unlisted = false;   ///< Windows: not in HARDWARE\DEVICEMAP\SERIALCOMM either
};

/// The fixed id of the check a finding belongs to: "port.exists", "port.access", ...
const char* CheckOf(PortFinding::Kind kind);

struct PortCheckOptions {
  std::filesystem::path root = "/";
  /// Also the checks that do not stop an update by themselves (ModemManager, brltty, the
  /// USB latency timer, low-latency mode): the doctor asks for them, an update does not.
  bool everything = true;
};

/// The port's checks, in order; a check that cannot be made because an earlier one failed is
/// left out. On Windows whether it exists, is held, can be opened.
std::vector<PortFinding> CheckPort(const std::string& device, const PortCheckOptions& options = {});

/// What Windows says of a COM port (gathered by CheckPort there; tests give canned answers).
struct WindowsPortFacts {
  bool listed = true;            ///< named in HARDWARE\DEVICEMAP\SERIALCOMM
  unsigned long open_error = 0;  ///< CreateFile's error on "\\.\COMn"; 0: it opened
  unsigned long problem = 0;     ///< its device node's problem code (CM_PROB_*); 0: none, or no node found
  std::string name;              ///< the device's friendly name, when SetupAPI knows it
  std::string vid, pid;          ///< its USB ids ("067B", "2303"), when the registry names them
};

/// The findings on a Windows COM port from what the system said of it.
std::vector<PortFinding> JudgeWindowsPort(const std::string& device, const WindowsPortFacts& facts);

class Registry;

/// The USB serial adapter behind a COM port, as the registry knows it: the device key under
/// SYSTEM\CurrentControlSet\Enum whose Device Parameters name the port.
struct WindowsAdapter {
  std::string key;        ///< "SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+A1B2C3D4A\0000"
  bool ftdi_bus = false;  ///< under FTDIBUS: FTDI's own driver, which has a latency timer
  std::string vid, pid;   ///< upper-case hex, when the key names them
};
std::optional<WindowsAdapter> FindWindowsAdapter(const std::string& com, const Registry& registry);

/// The doctor's Windows checks beyond opening the port, read from the registry: the FTDI
/// driver's latency timer, USB selective suspend for the adapter and in the power plan, and
/// whether the port's number is one the desktop program lists (COM1 to COM99). Advice only.
std::vector<PortFinding> CheckWindowsAdapter(const std::string& device, const Registry& registry);

/// True when no blocking finding failed.
bool NothingBlocks(const std::vector<PortFinding>& findings);

/// True when a POSIX access list (the bytes of the "system.posix_acl_access" attribute) gives
/// user `uid` read and write by name, as the seat's uaccess rule does.
bool PosixAclGivesUser(std::span<const std::uint8_t> xattr, unsigned uid);

}  // namespace quillon
