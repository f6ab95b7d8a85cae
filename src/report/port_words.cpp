#include "report/port_words.h"

#include "report/words.h"

namespace quillon::report {
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
std::string PermissionFix(const PortFinding& f, Language lang) {
  if (f.group == "root" || f.group == "tty") {
    const std::string name = f.tty.substr(f.tty.find_last_of('/') == std::string::npos ? 0 : f.tty.find_last_of('/') + 1);
    return TrFIn(
        lang,
        "Give the port to the group dialout with a udev rule: put SUBSYSTEM==\"tty\", "
        "KERNEL==\"%s\", "
        "GROUP=\"dialout\", MODE=\"0660\" into /etc/udev/rules.d/70-serial-port.rules, run sudo "
        "udevadm "
        "trigger, and join dialout (sudo usermod -aG dialout $USER; a new login is needed).",
        {name});
  }
  return TrFIn(lang,
               "sudo usermod -aG %s $USER, then log out and in again (a new login is needed).",
               {f.group});
}

// What a Device Manager problem code usually means for a USB serial adapter, and what to do.
std::pair<std::string, std::string> DriverProblem(unsigned long code, Language lang) {
  const std::string drivers(TrIn(lang,
                                 "the driver from the adapter's maker (FTDI VCP, Prolific PL2303, "
                                 "Silicon Labs CP210x, WCH CH340)"));
  switch (code) {
    case 10:
      return {
          std::string(TrIn(
              lang,
              "the device cannot start: for a USB serial adapter usually a driver that does not "
              "fit its chip (a copied FTDI or Prolific chip that the maker's newer driver "
              "refuses) or a faulty adapter")),
          TrFIn(lang,
                "Install %s in the version the adapter's seller names, or use another adapter.",
                {drivers})};
    case 28:
      return {std::string(TrIn(lang, "its driver is not installed")),
              TrFIn(lang,
                    "Install %s, or let Windows Update look for it; then unplug the adapter and "
                    "plug it in again.",
                    {drivers})};
    case 22:
      return {std::string(TrIn(lang, "the device is disabled")),
              std::string(TrIn(
                  lang, "Enable it in the Device Manager (right-click the port, Enable device)."))};
    case 43:
      return {std::string(TrIn(lang, "Windows stopped the device after it reported a problem")),
              std::string(TrIn(
                  lang,
                  "Unplug the adapter and plug it into another USB port, with another cable if you "
                  "have one."))};
    case 45:
      return {std::string(TrIn(lang, "the device is not connected")),
              std::string(TrIn(lang, "Plug the adapter in."))};
    case 31: case 39:
      return {std::string(TrIn(lang, "Windows cannot load its driver (missing or damaged)")),
              TrFIn(lang, "Reinstall %s.", {drivers})};
    case 52:
      return {std::string(TrIn(lang, "its driver is not signed")),
              TrFIn(lang, "Install a signed driver: %s.", {drivers})};
    default:
      return {std::string(TrIn(lang, "its driver reports a problem")),
              std::string(TrIn(
                  lang,
                  "Open the Device Manager, look at the port's Device status, and reinstall the "
                  "adapter's driver."))};
  }
}

using Pair = std::pair<std::string, std::string>;

// A Prolific or WCH adapter whose driver refused to start it (codes 10, 43, 52): the field's
// known causes, by maker.
Pair RefusedChip(const PortFinding& f, Language lang) {
  const bool prolific = !f.adapters.empty() && f.adapters.front().rfind("067B", 0) == 0;
  if (prolific) {
    return {std::string(TrIn(lang,
                             "Prolific's driver refuses PL2303 chips it takes for copies, and the old "
                             "PL2303HXA/XA parts it no longer serves")),
            std::string(TrIn(lang,
                             "Use an adapter with a genuine chip (FTDI, Silicon Labs CP210x, or a current "
                             "Prolific PL2303GT/GS); or install Prolific's older driver 3.3.2.105, pick it in the "
                             "Device Manager (Update driver > Browse > Let me pick) and keep Windows Update from "
                             "replacing it."))};
  }
  if (f.code == 52) {
    return {std::string(TrIn(lang, "Windows will not load the CH340 driver it has: its signature is not valid")),
            std::string(TrIn(lang,
                             "Install WCH's signed CH341SER driver from the maker (wch-ic.com), then unplug the "
                             "adapter and plug it in again."))};
  }
  return {std::string(TrIn(lang,
                           "the CH340 driver could not start the chip: often a copied chip, or a driver for "
                           "another CH34x part")),
          std::string(TrIn(lang,
                           "Install WCH's current CH341SER driver from the maker (wch-ic.com); if the code "
                           "stays, use another adapter."))};
}

// TrF in the language a finding is worded in (TrHere("...", {...}), as the catalogue knows it).
struct InLanguage {
  Language lang;
  std::string operator()(std::string_view english, std::initializer_list<std::string_view> args = {}) const {
    return TrFIn(lang, english, args);
  }
};

// The device itself: is it there, a serial port, may this user open it.
Pair DeviceWords(const PortFinding& f, Language lang) {
  const std::string& d = f.device;
  const std::string pick_serial(TrIn(
      lang, "Name the serial device itself, such as /dev/ttyUSB0 (quillon-cli ports lists them)."));
  const InLanguage TrHere{lang};
  switch (f.kind) {
    case K::kExists:
      return {TrHere("%s exists", {d}), ""};
    case K::kMissing:
      return {f.unlisted ? TrHere("%s does not exist (Windows lists no such port in "
                                  "HARDWARE\\DEVICEMAP\\SERIALCOMM)",
                                  {d})
                         : TrHere("%s does not exist", {d}),
              TrHere("Plug the adapter in, or pick a port that quillon-cli ports lists.")};
    case K::kSerialDevice:
      return {TrHere("%s is a serial device", {d}), ""};
    case K::kNotCharacterDevice:
      return {TrHere("%s is not a serial device (not a character device)", {d}), pick_serial};
    case K::kNotTerminal:
      return {TrHere("%s is not a serial device (not a terminal)", {d}), pick_serial};
    case K::kAccessible:
      return {TrHere("%s can be opened for reading and writing", {d}), ""};
    case K::kAccessibleThroughSeat:
      return {
          TrHere(
              "%s can be opened for reading and writing, through the seat's access list (uaccess)",
              {d}),
          ""};
    case K::kNoPermission:
      return {TrHere("%s may not be read and written by this user; it belongs to the group %s (a "
                     "desktop login may get "
                     "access through uaccess, but a service user has no seat: only the group gives "
                     "it access)",
                     {d, f.group}),
              PermissionFix(f, lang)};
    case K::kOpenFailed:
      return {TrHere("%s cannot be opened: %s", {d, f.value}),
              TrHere("Check the adapter and its driver (dmesg shows what the kernel says).")};
    case K::kDriverRefused:
      return {TrHere("%s cannot be opened (Windows error %s)", {d, f.value}),
              TrHere("Check the adapter's driver in the Device Manager.")};
    case K::kDriverRefusesChip: {
      const auto [meaning, fix] = RefusedChip(f, lang);
      return {TrHere("%s: the Device Manager shows code %s: %s",
                     {f.value.empty() ? d : d + " (" + f.value + ")", std::to_string(f.code), meaning}),
              fix};
    }
    case K::kDriverProblem: {
      const auto [meaning, fix] = DriverProblem(f.code, lang);
      return {
          TrHere("%s: the Device Manager shows code %s: %s",
                 {f.value.empty() ? d : d + " (" + f.value + ")", std::to_string(f.code), meaning}),
          fix};
    }
    default:
      break;
  }
  return {f.device, ""};
}

// Who else holds the port: another program, the console, a login prompt.
Pair HolderWords(const PortFinding& f, Language lang) {
  const std::string& d = f.device;
  const InLanguage TrHere{lang};
  switch (f.kind) {
    case K::kNotHeld:
      return {TrHere("no other program holds %s open", {d}), ""};
    case K::kHeld:
      return {TrHere("%s is held open by %s", {d, Processes(f)}),
              TrHere("Close that program (kill %s), or pick another port.", {FirstPid(f)})};
    case K::kHeldUnseen:
      return {TrHere("%s is held by another user's process; `sudo fuser %s` names it", {d, d}),
              TrHere("Close that program, or pick another port.")};
    case K::kInUse:
      return {f.processes.empty()
                  ? TrHere("%s is in use by another program", {d})
                  : TrHere("%s is in use by another program (%s)", {d, Processes(f)}),
              TrHere("Close the program that uses the port (a terminal, another flasher), then try "
                     "again.")};
    case K::kSeatOnly:
      return {TrHere("the access to %s comes from the desktop login (uaccess) and ends with it; a "
                     "service or a job "
                     "without a login has no seat and no access",
                     {d}),
              TrHere("For access that does not depend on a login: sudo usermod -aG %s $USER",
                     {f.group})};
    case K::kNotConsole:
      return {TrHere("%s is neither the system console nor a login prompt", {d}), ""};
    case K::kConsole:
      return {
          TrHere("%s is the system console: the kernel writes its messages to it", {d}),
          TrHere("Pick another port, or take console=%s off the kernel command line.", {f.tty})};
    case K::kLoginPrompt:
      return {TrHere("%s has a login prompt on it: %s", {d, Processes(f)}),
              "sudo systemctl disable --now serial-getty@" + f.tty + ".service"};
    default:
      break;
  }
  return {f.device, ""};
}

// The programs that reach for serial adapters by themselves: ModemManager, brltty.
Pair NeighbourWords(const PortFinding& f, Language lang) {
  const std::string& d = f.device;
  const InLanguage TrHere{lang};
  switch (f.kind) {
    case K::kModemManagerAbsent:
      return {TrHere("ModemManager does not run"), ""};
    case K::kModemManagerLeavesAlone:
      return {TrHere("%s leaves %s alone", {ModemManagerName(f), d}), ""};
    case K::kModemManagerProbes:
      return {TrHere("%s (PID %s) runs and may probe %s", {ModemManagerName(f), FirstPid(f), d}),
              TrHere("Install the rule "
                     "/usr/share/doc/quillon-cli/examples/60-quillon-serial-adapters.rules into "
                     "/etc/udev/rules.d/, or stop it: sudo systemctl stop ModemManager.")};
    case K::kModemManagerTooOld:
      return {TrHere("%s (PID %s) runs; before 1.12 it may probe %s although udev tagged the port "
                     "to be left alone",
                     {ModemManagerName(f), FirstPid(f), d}),
              TrHere("Stop it while updating (sudo systemctl stop ModemManager), or upgrade it to "
                     "1.12 or later.")};
    case K::kBrlttyAbsent:
      return {TrHere("brltty does not run"), ""};
    case K::kBrlttyNotUsb:
      return {TrHere("brltty runs, but %s is not a USB adapter", {d}), ""};
    case K::kBrlttyRuns:
      return {TrHere("brltty (PID %s) runs and claims some USB serial adapters", {FirstPid(f)}),
              TrHere("Remove it if no braille display is used: sudo apt remove brltty.")};
    case K::kBrlttyRulesNone:
      return {TrHere("no brltty rule claims USB serial adapters"), ""};
    case K::kBrlttyRulesClaim: {
      std::string adapters;
      for (const auto& adapter : f.adapters) adapters += (adapters.empty() ? "" : ", ") + adapter;
      return {TrHere("brltty is installed and its udev rules claim USB serial adapters %s: such an "
                     "adapter may vanish "
                     "the moment it is plugged in",
                     {adapters}),
              TrHere("Remove brltty if no braille display is used (sudo apt remove brltty), or "
                     "mask its rules: sudo ln "
                     "-s /dev/null /etc/udev/rules.d/85-brltty.rules")};
    }
    default:
      break;
  }
  return {f.device, ""};
}

// How fast the adapter answers.
Pair LatencyWords(const PortFinding& f, Language lang) {
  const std::string& d = f.device;
  const InLanguage TrHere{lang};
  switch (f.kind) {
    case K::kLatencyTimerShort:
      return {TrHere("the adapter's latency timer is %s ms", {f.value}), ""};
    case K::kLatencyTimerLong:
      return {
          TrHere("the adapter's latency timer is %s ms: each answer may wait that long", {f.value}),
          TrHere("quillon sets low-latency mode when it opens the port; to make it last: echo 1 | "
                 "sudo tee %s",
                 {f.path})};
    case K::kFtdiLatencyShort:
      return {TrHere("the FTDI driver's latency timer of %s is %s ms", {d, f.value}), ""};
    case K::kFtdiLatencyLong:
      return {TrHere("the FTDI driver's latency timer of %s is %s ms: every short answer waits up to that "
                     "long (%s)",
                     {d, f.value, f.path}),
              TrHere("Set it to 1: Device Manager > Ports (COM & LPT) > %s > Properties > Port Settings > "
                     "Advanced > Latency Timer (msec): 1; then unplug the adapter and plug it in again.",
                     {d})};
    case K::kLowLatencySettable:
      return {TrHere("low-latency mode can be set on %s", {d}), ""};
    case K::kLowLatencyRefused:
      return {TrHere("the driver of %s does not take low-latency mode", {d}),
              TrHere("Nothing to do for a built-in port or a simulated one; a USB adapter answers "
                     "more slowly.")};
    default:
      break;
  }
  return {f.device, ""};
}

// What Windows may do to the adapter, and whether the desktop program lists the port.
Pair WindowsAdapterWords(const PortFinding& f, Language lang) {
  const std::string& d = f.device;
  const InLanguage TrHere{lang};
  switch (f.kind) {
    case K::kSuspendNotAllowed:
      return {TrHere("Windows does not power %s's USB adapter down while it is idle", {d}), ""};
    case K::kSuspendAllowed:
      return {TrHere("Windows may power %s's USB adapter down while it is idle (USB selective suspend: %s "
                     "and the power plan allow it): a port powered down in an update fails it",
                     {d, f.path}),
              TrHere("Turn it off: Control Panel > Power Options > Change plan settings > Change advanced "
                     "power settings > USB settings > USB selective suspend setting: Disabled (on battery "
                     "and plugged in); or, for this adapter only, set that value to 0 and plug it in again.")};
    case K::kComNumberListed:
      return {TrHere("%s is in the desktop program's list (COM1 to COM%s)", {d, f.value}), ""};
    case K::kComNumberAboveList:
      return {TrHere("%s is above COM%s: quillon-cli reaches it, the desktop program lists COM1 to COM%s only",
                     {d, f.value, f.value}),
              TrHere("For the desktop program, give the adapter a lower number: Device Manager > Ports (COM & "
                     "LPT) > %s > Properties > Port Settings > Advanced > COM Port Number (one no other "
                     "adapter uses).",
                     {d})};
    default:
      break;
  }
  return {f.device, ""};
}

std::pair<std::string, std::string> Words(const PortFinding& f, Language lang) {
  switch (f.kind) {
    case K::kExists:
    case K::kMissing:
    case K::kSerialDevice:
    case K::kNotCharacterDevice:
    case K::kNotTerminal:
    case K::kAccessible:
    case K::kAccessibleThroughSeat:
    case K::kNoPermission:
    case K::kOpenFailed:
    case K::kDriverRefused:
    case K::kDriverProblem:
    case K::kDriverRefusesChip:
      return DeviceWords(f, lang);
    case K::kNotHeld:
    case K::kHeld:
    case K::kHeldUnseen:
    case K::kInUse:
    case K::kSeatOnly:
    case K::kNotConsole:
    case K::kConsole:
    case K::kLoginPrompt:
      return HolderWords(f, lang);
    case K::kModemManagerAbsent:
    case K::kModemManagerLeavesAlone:
    case K::kModemManagerProbes:
    case K::kModemManagerTooOld:
    case K::kBrlttyAbsent:
    case K::kBrlttyNotUsb:
    case K::kBrlttyRuns:
    case K::kBrlttyRulesNone:
    case K::kBrlttyRulesClaim:
      return NeighbourWords(f, lang);
    case K::kLatencyTimerShort:
    case K::kLatencyTimerLong:
    case K::kLowLatencySettable:
    case K::kLowLatencyRefused:
    case K::kFtdiLatencyShort:
    case K::kFtdiLatencyLong:
      return LatencyWords(f, lang);
    case K::kSuspendNotAllowed:
    case K::kSuspendAllowed:
    case K::kComNumberListed:
    case K::kComNumberAboveList:
      return WindowsAdapterWords(f, lang);
  }
  return {f.device, ""};
}

}  // namespace

FindingWords Describe(const PortFinding& finding, Language language) {
  auto [detail, fix] = Words(finding, language);
  return {CheckOf(finding.kind), finding.ok, finding.blocking, std::move(detail), finding.ok ? std::string() : std::move(fix)};
}

}  // namespace quillon::report
