// The port checks on Linux (and other POSIX systems, less the parts only Linux has): an
// ordered table of small checks over one look at the port.

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "base/posix_call.h"
#include "serial/port_checks.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using K = PortFinding::Kind;

std::string ReadFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// Processes whose command is `name`, under root/proc.
std::vector<PortFinding::Process> ProcessesNamed(const fs::path& root, const std::string& name) {
  std::vector<PortFinding::Process> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    if (ReadFirstLine(entry.path() / "comm") == name) found.push_back({pid, name});
  }
  return found;
}

struct Holders {
  std::vector<PortFinding::Process> seen;
  bool some_unseen = false;  ///< processes whose descriptors we may not read
};

// Who holds `device` open, through root/proc/*/fd (this process left out).
Holders FindHolders(const fs::path& root, const fs::path& device) {
  Holders holders;
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) continue;
    std::error_code fd_error;
    fs::directory_iterator fds(entry.path() / "fd", fd_error);
    if (fd_error) {
      holders.some_unseen = true;
      continue;
    }
    for (const auto& fd : fds) {
      std::error_code link_error;
      if (fs::read_symlink(fd.path(), link_error) == device) {
        holders.seen.push_back({pid, ReadFirstLine(entry.path() / "comm")});
        break;
      }
    }
  }
  return holders;
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

bool InGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int n = std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0);
  return std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

// A package's version from the package manager's status file, if it is installed.
std::optional<std::string> InstalledVersion(const fs::path& root, const std::string& package) {
  std::ifstream status(root / "var/lib/dpkg/status");
  bool in_package = false, installed = false;
  std::optional<std::string> version;
  for (std::string line; std::getline(status, line);) {
    if (line.empty()) {
      if (in_package && installed && version) return version;
      in_package = installed = false;
      version.reset();
    } else if (line.rfind("Package: ", 0) == 0) {
      in_package = line.substr(9) == package;
    } else if (in_package && line.rfind("Status: ", 0) == 0) {
      installed = line.find(" installed") != std::string::npos;
    } else if (in_package && line.rfind("Version: ", 0) == 0) {
      version = line.substr(9);
    }
  }
  if (in_package && installed && version) return version;
  return std::nullopt;
}

// True when a version ("1.10.4-1", "1:1.20.4-1") comes before major.minor.
bool VersionBefore(std::string version, int major_wanted, int minor_wanted) {
  if (const auto epoch = version.find(':'); epoch != std::string::npos) version = version.substr(epoch + 1);
  int major_found = 0, minor_found = 0;
  if (std::sscanf(version.c_str(), "%d.%d", &major_found, &minor_found) < 1) return false;
  return major_found < major_wanted || (major_found == major_wanted && minor_found < minor_wanted);
}

// The USB serial adapters that brltty's udev rules claim, when its rules are installed and
// not masked in /etc.
std::vector<std::string> BrlttyClaims(const fs::path& root) {
  static constexpr std::pair<const char*, const char*> kAdapters[] = {
      {"1a86/7523", "1a86:7523 (CH340)"}, {"10c4/ea60", "10c4:ea60 (CP210x)"}, {"0403/6001", "0403:6001 (FTDI)"}};
  std::vector<std::string> claimed;
  std::error_code error;
  for (const char* folder : {"usr/lib/udev/rules.d", "lib/udev/rules.d"}) {
    for (const auto& entry : fs::directory_iterator(root / folder, error)) {
      const std::string name = entry.path().filename().string();
      if (name.find("brltty") == std::string::npos) continue;
      const fs::path local = root / "etc/udev/rules.d" / name;
      if (fs::exists(fs::symlink_status(local, error)) &&
          (fs::read_symlink(local, error) == "/dev/null" || fs::file_size(local, error) == 0)) {
        continue;  // masked
      }
      std::ifstream in(entry.path());
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      for (const auto& [pattern, adapter] : kAdapters) {
        if (text.find(pattern) != std::string::npos &&
            std::find(claimed.begin(), claimed.end(), adapter) == claimed.end()) {
          claimed.emplace_back(adapter);
        }
      }
    }
  }
  return claimed;
}

// One look at the port, shared by the checks; each check may end the list (`done`).
class Probe {
 public:
  Probe(const std::string& device, const PortCheckOptions& options) : device_(device), options_(options) {}
  ~Probe() {
    if (fd >= 0) posix::Close(fd);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  PortFinding Found(K kind, bool ok, bool blocking = true) const {
    PortFinding f;
    f.kind = kind;
    f.ok = ok;
    f.blocking = blocking;
    f.device = device_;
    f.tty = tty;
    return f;
  }
  const std::string& device() const { return device_; }
  const fs::path& root() const { return options_.root; }

  struct stat st {};
  fs::path real;
  std::string tty;
  int fd = -1;
  int open_error = 0;
  Holders holders;
  bool done = false;

 private:
  const std::string& device_;
  const PortCheckOptions& options_;
};

using Check = void (*)(Probe&, std::vector<PortFinding>&);

void Exists(Probe& p, std::vector<PortFinding>& out) {
  if (posix::Stat(p.device().c_str(), &p.st) != 0) {
    out.push_back(p.Found(K::kMissing, false));
    p.done = true;
    return;
  }
  std::error_code error;
  p.real = fs::canonical(p.device(), error);
  if (p.real.empty()) p.real = p.device();
  const std::string path = p.real.string();
  p.tty = path.rfind("/dev/", 0) == 0 ? path.substr(5) : p.real.filename().string();
  out.push_back(p.Found(K::kExists, true));
}

void Serial(Probe& p, std::vector<PortFinding>& out) {
  if (!S_ISCHR(p.st.st_mode)) {
    out.push_back(p.Found(K::kNotCharacterDevice, false));
    p.done = true;
    return;
  }
  // Opening only looks: nothing on the line changes before "held" is decided.
  p.fd = posix::Open(p.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  p.open_error = p.fd < 0 ? errno : 0;
  if (p.fd >= 0 && !posix::IsATty(p.fd)) {
    out.push_back(p.Found(K::kNotTerminal, false));
    p.done = true;
    return;
  }
  out.push_back(p.Found(K::kSerialDevice, true));
}

void Permission(Probe& p, std::vector<PortFinding>& out) {
  if (p.open_error != EACCES && p.open_error != EPERM) return;
  PortFinding f = p.Found(K::kNoPermission, false);
  f.group = GroupName(p.st.st_gid);
  out.push_back(f);
  p.done = true;
}

// The running user reaches the device through the seat's access list (uaccess), not through
// its owner or group.
bool AccessThroughSeat(const Probe& p) {
  if (::geteuid() == 0 || ::geteuid() == p.st.st_uid || InGroup(p.st.st_gid)) return false;
  std::array<std::uint8_t, 512> acl{};
  const ssize_t n = ::getxattr(p.device().c_str(), "system.posix_acl_access", acl.data(), acl.size());
  return n > 0 && PosixAclGivesUser(std::span(acl).first(static_cast<std::size_t>(n)), ::geteuid());
}

void Holder(Probe& p, std::vector<PortFinding>& out) {
  p.holders = FindHolders(p.root(), p.real);
  if (!p.holders.seen.empty()) {
    PortFinding f = p.Found(K::kHeld, false);
    f.processes = p.holders.seen;
    out.push_back(f);
  } else if (p.open_error == EBUSY || (p.fd >= 0 && posix::Flock(p.fd, LOCK_EX | LOCK_NB) != 0)) {
    out.push_back(p.Found(K::kHeldUnseen, false));
  } else if (p.open_error != 0) {
    PortFinding f = p.Found(K::kOpenFailed, false);
    f.value = std::strerror(p.open_error);
    out.push_back(f);
  } else if (AccessThroughSeat(p)) {
    out.push_back(p.Found(K::kAccessibleThroughSeat, true));
    out.push_back(p.Found(K::kNotHeld, true));
    PortFinding seat = p.Found(K::kSeatOnly, false, false);
    seat.group = GroupName(p.st.st_gid);
    out.push_back(seat);
  } else {
    out.push_back(p.Found(K::kAccessible, true));
    out.push_back(p.Found(K::kNotHeld, true));
  }
}

// The kernel console, or a login prompt on the port: our bytes would reach the console or a
// getty, and theirs the device.
void Console(Probe& p, std::vector<PortFinding>& out) {
  std::istringstream active(ReadFirstLine(p.root() / "sys/class/tty/console/active"));
  for (std::string name; active >> name;) {
    if (name == p.tty) {
      out.push_back(p.Found(K::kConsole, false));
      return;
    }
  }
  for (const auto& holder : p.holders.seen) {
    if (holder.command.find("getty") != std::string::npos) {
      PortFinding f = p.Found(K::kLoginPrompt, false);
      f.processes = {holder};
      out.push_back(f);
      return;
    }
  }
  out.push_back(p.Found(K::kNotConsole, true));
}

// ModemManager probes new ports with AT commands unless udev tagged them to be left alone;
// before 1.12 the tag is not honoured in every filter mode (the strict one ignores it).
void ModemManager(Probe& p, std::vector<PortFinding>& out) {
  const auto running = ProcessesNamed(p.root(), "ModemManager");
  std::ifstream tags(p.root() / "run/udev/data" /
                     ("c" + std::to_string(major(p.st.st_rdev)) + ":" + std::to_string(minor(p.st.st_rdev))));
  bool ignored = false;
  for (std::string line; std::getline(tags, line);) ignored = ignored || line == "E:ID_MM_DEVICE_IGNORE=1";
  const auto version = InstalledVersion(p.root(), "modemmanager");
  K kind = K::kModemManagerLeavesAlone;
  if (running.empty()) {
    kind = K::kModemManagerAbsent;
  } else if (!ignored) {
    kind = K::kModemManagerProbes;
  } else if (version && VersionBefore(*version, 1, 12)) {
    kind = K::kModemManagerTooOld;
  }
  PortFinding f = p.Found(kind, kind == K::kModemManagerAbsent || kind == K::kModemManagerLeavesAlone);
  f.processes = running;
  f.version = version.value_or("");
  out.push_back(f);
}

void Brltty(Probe& p, std::vector<PortFinding>& out) {
  const std::string name = p.real.filename().string();
  const bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
  const auto running = ProcessesNamed(p.root(), "brltty");
  PortFinding f = p.Found(running.empty() ? K::kBrlttyAbsent : usb ? K::kBrlttyRuns : K::kBrlttyNotUsb,
                          running.empty() || !usb);
  f.processes = running;
  out.push_back(f);
  const auto claims = BrlttyClaims(p.root());
  PortFinding rules = p.Found(claims.empty() ? K::kBrlttyRulesNone : K::kBrlttyRulesClaim, claims.empty(), false);
  rules.adapters = claims;
  out.push_back(rules);
}

void LatencyTimer(Probe& p, std::vector<PortFinding>& out) {
  const fs::path timer = p.root() / "sys/bus/usb-serial/devices" / p.real.filename() / "latency_timer";
  std::error_code error;
  if (!fs::exists(timer, error)) return;
  const std::string value = ReadFirstLine(timer);
  PortFinding f = p.Found(value == "0" || value == "1" ? K::kLatencyTimerShort : K::kLatencyTimerLong,
                          value == "0" || value == "1", false);
  f.value = value;
  f.path = timer.string();
  out.push_back(f);
}

void LowLatency(Probe& p, std::vector<PortFinding>& out) {
#ifdef __linux__
  if (p.fd < 0) return;
  serial_struct serial{};
  bool settable = false;
  if (posix::Ioctl(p.fd, TIOCGSERIAL, &serial) == 0) {
    const int before = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    settable = posix::Ioctl(p.fd, TIOCSSERIAL, &serial) == 0;
    serial.flags = before;
    if (settable) posix::Ioctl(p.fd, TIOCSSERIAL, &serial);
  }
  out.push_back(p.Found(settable ? K::kLowLatencySettable : K::kLowLatencyRefused, settable, false));
#else
  (void)p, (void)out;
#endif
}

// In order: the checks an update needs, then the doctor's advice.
constexpr Check kUpdateChecks[] = {Exists, Serial, Permission, Holder, Console};
constexpr Check kAdviceChecks[] = {ModemManager, Brltty, LatencyTimer, LowLatency};

}  // namespace

std::vector<PortFinding> CheckPort(const std::string& device, const PortCheckOptions& options) {
  std::vector<PortFinding> findings;
  Probe probe(device, options);
  for (Check check : kUpdateChecks) {
    check(probe, findings);
    if (probe.done) return findings;
  }
  if (options.everything) {
    for (Check check : kAdviceChecks) check(probe, findings);
  }
  return findings;
}

}  // namespace quillon
