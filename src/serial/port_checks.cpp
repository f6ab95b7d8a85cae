#include "serial/port_checks.h"

#include <algorithm>

namespace quillon {

const char* CheckOf(PortFinding::Kind kind) {
  using K = PortFinding::Kind;
  switch (kind) {
    case K::kExists: case K::kMissing: return "port.exists";
    case K::kSerialDevice: case K::kNotCharacterDevice: case K::kNotTerminal: return "port.serial";
    case K::kAccessible: case K::kAccessibleThroughSeat: case K::kNoPermission: case K::kOpenFailed:
    case K::kDriverRefused: return "port.access";
    case K::kNotHeld: case K::kHeld: case K::kHeldUnseen: case K::kInUse: return "port.holder";
    case K::kSeatOnly: return "port.seat";
    case K::kNotConsole: case K::kConsole: case K::kLoginPrompt: return "port.console";
    case K::kModemManagerAbsent: case K::kModemManagerLeavesAlone: case K::kModemManagerProbes:
    case K::kModemManagerTooOld: return "port.modemmanager";
    case K::kBrlttyAbsent: case K::kBrlttyNotUsb: case K::kBrlttyRuns: return "port.brltty";
    case K::kBrlttyRulesNone: case K::kBrlttyRulesClaim: return "brltty.udev";
    case K::kLatencyTimerShort: case K::kLatencyTimerLong: return "usb.latency_timer";
    case K::kLowLatencySettable: case K::kLowLatencyRefused: return "port.low_latency";
    case K::kDriverProblem: case K::kDriverRefusesChip: return "port.driver";
    case K::kFtdiLatencyShort: case K::kFtdiLatencyLong: return "usb.latency_timer";
    case K::kSuspendNotAllowed: case K::kSuspendAllowed: return "usb.selective_suspend";
    case K::kComNumberListed: case K::kComNumberAboveList: return "port.com_number";
  }
  return "port";
}

std::vector<PortFinding> JudgeWindowsPort(const std::string& device, const WindowsPortFacts& facts) {
  // Windows' own error numbers, so that this reads the same on every platform.
  constexpr unsigned long kFileNotFound = 2, kPathNotFound = 3, kAccessDenied = 5, kSharingViolation = 32;
  PortFinding f;
  f.device = device;
  f.value = facts.name;
  f.ok = facts.open_error == 0;
  if (facts.open_error == 0) {
    f.kind = PortFinding::Kind::kAccessible;
  } else if (facts.problem != 0) {
    // A driver that did not start leaves the port unopenable, whatever the open error says.
    // Prolific's and WCH's drivers refuse chips they take for copies or for parts they no
    // longer serve with codes 10, 43 and 52: the field knows those by the adapter's ids.
    const bool refusing_maker = facts.vid == "067B" || facts.vid == "1A86";
    const bool refusal_code = facts.problem == 10 || facts.problem == 43 || facts.problem == 52;
    f.kind = refusing_maker && refusal_code ? PortFinding::Kind::kDriverRefusesChip : PortFinding::Kind::kDriverProblem;
    f.code = facts.problem;
    if (!facts.vid.empty()) f.adapters = {facts.vid + ":" + facts.pid};
  } else if (facts.open_error == kFileNotFound || facts.open_error == kPathNotFound) {
    f.kind = PortFinding::Kind::kMissing;
    f.unlisted = !facts.listed;
  } else if (facts.open_error == kAccessDenied || facts.open_error == kSharingViolation) {
    f.kind = PortFinding::Kind::kInUse;
    f.code = facts.open_error;
  } else {
    f.kind = PortFinding::Kind::kDriverRefused;
    f.code = facts.open_error;
    f.value = std::to_string(facts.open_error);
  }
  return {f};
}

bool NothingBlocks(const std::vector<PortFinding>& findings) {
  return std::none_of(findings.begin(), findings.end(), [](const PortFinding& f) { return f.blocking && !f.ok; });
}

bool PosixAclGivesUser(std::span<const std::uint8_t> xattr, unsigned uid) {
  // Version 2, then entries of tag (u16), permissions (u16) and id (u32), little-endian.
  constexpr std::uint16_t kUserTag = 0x02;
  constexpr std::uint16_t kReadWrite = 0x06;
  auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(xattr[at] | (xattr[at + 1] << 8)); };
  auto u32 = [&](std::size_t at) { return static_cast<std::uint32_t>(u16(at) | (static_cast<std::uint32_t>(u16(at + 2)) << 16)); };
  if (xattr.size() < 4 || u32(0) != 2) return false;
  for (std::size_t at = 4; at + 8 <= xattr.size(); at += 8) {
    if (u16(at) == kUserTag && u32(at + 4) == uid && (u16(at + 2) & kReadWrite) == kReadWrite) return true;
  }
  return false;
}

}  // namespace quillon
