#include "cli/port_words.h"

namespace quillon::cli {
namespace {

using K = PortFinding::Kind;

std::string Processes(const PortFinding& f) {
  std::string who;
  for (const auto& p : f.processes) who += (who.empty() ? "" : ", ") + p.command + " (PID " + p.pid + ")";
  return who;
}

std::string FirstPid(const PortFinding& f) { return f.processes.empty() ? std::string() : f.processes.front().pid; }

std::string ModemManagerName(const PortFinding& f) {
  return "ModemManager" + (f.version.empty() ? std::string() : " " + f.version);
}

// Joining root or tty would give far more than this port: a udev rule gives just it.
std::string PermissionFix(const PortFinding& f) {
  if (f.group == "root" || f.group == "tty") {
    const std::string name = f.tty.substr(f.tty.find_last_of('/') == std::string::npos ? 0 : f.tty.find_last_of('/') + 1);
    return "Give the port to the group dialout with a udev rule: put SUBSYSTEM==\"tty\", KERNEL==\"" + name +
           "\", GROUP=\"dialout\", MODE=\"0660\" into /etc/udev/rules.d/70-serial-port.rules, run sudo udevadm "
           "trigger, and join dialout (sudo usermod -aG dialout $USER; a new login is needed).";
  }
  return "sudo usermod -aG " + f.group + " $USER, then log out and in again (a new login is needed).";
}

// What a Device Manager problem code usually means for a USB serial adapter, and what to do.
std::pair<std::string, std::string> DriverProblem(unsigned long code) {
  constexpr const char* kDrivers =
      "the driver from the adapter's maker (FTDI VCP, Prolific PL2303, Silicon Labs CP210x, WCH CH340)";
  switch (code) {
    case 10:
      return {"the device cannot start: for a USB serial adapter usually a driver that does not fit its chip (a "
              "copied FTDI or Prolific chip that the maker's newer driver refuses) or a faulty adapter",
              std::string("Install ") + kDrivers + " in the version the adapter's seller names, or use another adapter."};
    case 28:
      return {"its driver is not installed", std::string("Install ") + kDrivers + ", or let Windows Update look for it; "
                                                                                 "then unplug the adapter and plug it in again."};
    case 22: return {"the device is disabled", "Enable it in the Device Manager (right-click the port, Enable device)."};
    case 43:
      return {"Windows stopped the device after it reported a problem",
              "Unplug the adapter and plug it into another USB port, with another cable if you have one."};
    case 45: return {"the device is not connected", "Plug the adapter in."};
    case 31: case 39:
      return {"Windows cannot load its driver (missing or damaged)", std::string("Reinstall ") + kDrivers + "."};
    case 52: return {"its driver is not signed", std::string("Install a signed driver: ") + kDrivers + "."};
    default:
      return {"its driver reports a problem",
              "Open the Device Manager, look at the port's Device status, and reinstall the adapter's driver."};
  }
}

std::pair<std::string, std::string> Words(const PortFinding& f) {
  const std::string& d = f.device;
  constexpr const char* kPickSerial =
      "Name the serial device itself, such as /dev/ttyUSB0 (quillon-cli ports lists them).";
  switch (f.kind) {
    case K::kExists: return {d + " exists", ""};
    case K::kMissing:
      return {d + " does not exist" + (f.unlisted ? " (Windows lists no such port in HARDWARE\\DEVICEMAP\\SERIALCOMM)" : ""),
              "Plug the adapter in, or pick a port that quillon-cli ports lists."};
    case K::kSerialDevice: return {d + " is a serial device", ""};
    case K::kNotCharacterDevice: return {d + " is not a serial device (not a character device)", kPickSerial};
    case K::kNotTerminal: return {d + " is not a serial device (not a terminal)", kPickSerial};
    case K::kAccessible: return {d + " can be opened for reading and writing", ""};
    case K::kAccessibleThroughSeat:
      return {d + " can be opened for reading and writing, through the seat's access list (uaccess)", ""};
    case K::kNoPermission:
      return {d + " may not be read and written by this user; it belongs to the group " + f.group +
                  " (a desktop login may get access through uaccess, but a service user has no seat: only the group "
                  "gives it access)",
              PermissionFix(f)};
    case K::kOpenFailed:
      return {d + " cannot be opened: " + f.value, "Check the adapter and its driver (dmesg shows what the kernel says)."};
    case K::kDriverRefused:
      return {d + " cannot be opened (Windows error " + f.value + ")", "Check the adapter's driver in the Device Manager."};
    case K::kNotHeld: return {"no other program holds " + d + " open", ""};
    case K::kHeld:
      return {d + " is held open by " + Processes(f), "Close that program (kill " + FirstPid(f) + "), or pick another port."};
    case K::kHeldUnseen:
      return {d + " is held by another user's process; `sudo fuser " + d + "` names it",
              "Close that program, or pick another port."};
    case K::kDriverProblem: {
      const auto [meaning, fix] = DriverProblem(f.code);
      return {d + (f.value.empty() ? "" : " (" + f.value + ")") + ": the Device Manager shows code " +
                  std::to_string(f.code) + ": " + meaning,
              fix};
    }
    case K::kInUse:
      return {d + " is in use by another program" + (f.processes.empty() ? "" : " (" + Processes(f) + ")"),
              "Close the program that uses the port (a terminal, another flasher), then try again."};
    case K::kSeatOnly:
      return {"the access to " + d + " comes from the desktop login (uaccess) and ends with it; a service or a job "
                  "without a login has no seat and no access",
              "For access that does not depend on a login: sudo usermod -aG " + f.group + " $USER"};
    case K::kNotConsole: return {d + " is neither the system console nor a login prompt", ""};
    case K::kConsole:
      return {d + " is the system console: the kernel writes its messages to it",
              "Pick another port, or take console=" + f.tty + " off the kernel command line."};
    case K::kLoginPrompt:
      return {d + " has a login prompt on it: " + Processes(f),
              "sudo systemctl disable --now serial-getty@" + f.tty + ".service"};
    case K::kModemManagerAbsent: return {"ModemManager does not run", ""};
    case K::kModemManagerLeavesAlone: return {ModemManagerName(f) + " leaves " + d + " alone", ""};
    case K::kModemManagerProbes:
      return {ModemManagerName(f) + " (PID " + FirstPid(f) + ") runs and may probe " + d,
              "Install the rule /usr/share/doc/quillon-cli/examples/60-quillon-serial-adapters.rules into "
              "/etc/udev/rules.d/, or stop it: sudo systemctl stop ModemManager."};
    case K::kModemManagerTooOld:
      return {ModemManagerName(f) + " (PID " + FirstPid(f) + ") runs; before 1.12 it may probe " + d +
                  " although udev tagged the port to be left alone",
              "Stop it while updating (sudo systemctl stop ModemManager), or upgrade it to 1.12 or later."};
    case K::kBrlttyAbsent: return {"brltty does not run", ""};
    case K::kBrlttyNotUsb: return {"brltty runs, but " + d + " is not a USB adapter", ""};
    case K::kBrlttyRuns:
      return {"brltty (PID " + FirstPid(f) + ") runs and claims some USB serial adapters",
              "Remove it if no braille display is used: sudo apt remove brltty."};
    case K::kBrlttyRulesNone: return {"no brltty rule claims USB serial adapters", ""};
    case K::kBrlttyRulesClaim: {
      std::string adapters;
      for (const auto& adapter : f.adapters) adapters += (adapters.empty() ? "" : ", ") + adapter;
      return {"brltty is installed and its udev rules claim USB serial adapters " + adapters +
                  ": such an adapter may vanish the moment it is plugged in",
              "Remove brltty if no braille display is used (sudo apt remove brltty), or mask its rules: sudo ln -s "
              "/dev/null /etc/udev/rules.d/85-brltty.rules"};
    }
    case K::kLatencyTimerShort: return {"the adapter's latency timer is " + f.value + " ms", ""};
    case K::kLatencyTimerLong:
      return {"the adapter's latency timer is " + f.value + " ms: each answer may wait that long",
              "quillon sets low-latency mode when it opens the port; to make it last: echo 1 | sudo tee " + f.path};
    case K::kLowLatencySettable: return {"low-latency mode can be set on " + d, ""};
    case K::kLowLatencyRefused:
      return {"the driver of " + d + " does not take low-latency mode",
              "Nothing to do for a built-in port or a simulated one; a USB adapter answers more slowly."};
  }
  return {d, ""};
}

}  // namespace

FindingWords Describe(const PortFinding& finding) {
  auto [detail, fix] = Words(finding);
  return {CheckOf(finding.kind), finding.ok, finding.blocking, std::move(detail), finding.ok ? std::string() : std::move(fix)};
}

}  // namespace quillon::cli
